// Each allocation of every creating path fails in turn (alone, or with all later ones): the path
// answers its code, leaves the tables and the name as they were and leaks nothing (LeakSanitizer);
// the run where nothing fails succeeds.
#include "kerval/core/alloc.h"
#include "kerval/file/store_requests.h"
#include "tests/file/file_support.h"

namespace {

namespace kc = kerval::core;

constexpr const char* kName = "ALLOC_OBJECT";
const int64_t kParam = 7;

struct Context {
    int32_t box = -1;
    uint16_t port = 0;
    ElementListe* list = nullptr;  // two elements
    ElementListe* sorted = nullptr;
    int32_t made = -1;
};

struct Path {
    const char* name;
    int32_t failure;
    int32_t first_failure;  // when the first allocation fails
    int32_t (*create)(Context&);
    void (*undo)(Context&);
    bool (*intact)(Context&);  // what the tables do not show; may be null
};

uint32_t Idle(void*) { return 0; }

uint8_t Ascending(void* a, void* b) {
    return *static_cast<char*>(a) >= *static_cast<char*>(b) ? 1 : 0;
}

int32_t Answer(bool done) { return done ? eOK : eNOK; }

size_t Length(const ElementListe* e) { return e == nullptr ? 0 : 1 + Length(e->pNext); }

bool NothingQueued(Context&) { return !kerval::file::HasQueuedRequests(kName); }

// The counter names a trace file of the series, and that file (when there) begins as it must.
bool TraceSeriesIntact(Context&) {
    const std::string counter = ReadBinaryFile("TRACE.000.LOG");
    if (counter.empty()) return true;
    const int number = static_cast<unsigned char>(counter[0]);
    const auto trace = ReadBinaryFile("TRACE." + std::to_string(1000 + number).substr(1) + ".LOG");
    return counter == std::string(1, static_cast<char>(number)) + std::string(3, '\0') &&
           number >= 1 && number <= 100 && (trace.empty() || trace.rfind("Debut le", 0) == 0);
}

const Path kPaths[] = {
    {"MailBox", eNOK, eNOK, [](Context& c) { return CreateMailBox(kName, 4, &c.made); },
     [](Context& c) { DeleteMailBox(c.made); }, nullptr},
    {"Task", eNOK, ePARAM_TASK_TOO_BIG,
     [](Context& c) { return CreateTask(kName, 0, Idle, &kParam, sizeof kParam, 0, &c.made); },
     [](Context& c) { DeleteTask(c.made); }, nullptr},
    {"Sem", eNOK, eNOK, [](Context& c) { return CreateSem(kName, 2, 1, &c.made); },
     [](Context& c) { DeleteSem(c.made); }, nullptr},
    {"Mute", eNOK, eNOK, [](Context& c) { return CreateMute(kName, 1, &c.made); },
     [](Context& c) { DeleteMute(c.made); }, nullptr},
    {"CriticalSec", eNOK, eNOK, [](Context& c) { return CreateCriticalSec(kName, &c.made); },
     [](Context& c) { DeleteCriticalSec(c.made); }, nullptr},
    {"ShareMem", eNOK, eNOK, [](Context& c) { return CreateShareMem(kName, 64, &c.made); },
     [](Context& c) { DeleteShareMem(c.made); }, nullptr},
    {"TempoWithParam", eNOK, eNOK,
     [](Context& c) {
         return CreateActiveTempoWithParam(kName, TEMPO_DELAY, nullptr, 600000, 0, c.box, "KEY",
                                           &kParam, sizeof kParam, &c.made);
     },
     [](Context& c) { DeleteTempo(c.made); }, nullptr},
    {"TcpLink", eNOK, eNOK,
     [](Context& c) { return CreateTcpLink(kName, "127.0.0.1", c.port, 0, 5000, 0, &c.made); },
     [](Context& c) { DeleteTcpLink(c.made); }, nullptr},
    {"BinFile", eNOK, eNOK,
     [](Context& c) { return OpenBinFile(kName, "alloc.bin", "wb", &c.made); },
     [](Context& c) { CloseBinFile(c.made, 1); }, nullptr},
    {"SlowOpenBinFile", eNOK, eNOK,
     [](Context&) { return SlowOpenBinFile(kName, "alloc.bin", "wb"); },
     [](Context&) { SlowCloseBinFile(kName), kerval::file::WaitForStoreRequests(); },
     NothingQueued},
    {"SlowWriteBinFile", eNOK, eNOK,
     [](Context&) { return SlowWriteBinFile(kName, 0, SEEK_SET, "data", 4, 0); },
     [](Context&) { kerval::file::WaitForStoreRequests(); }, NothingQueued},
    {"WriteMailBox", eNOK, eNOK, [](Context& c) { return WriteMailBox(0, c.box, 1, "data", 5, 0); },
     [](Context& c) { PurgeMailBox(c.box); },
     [](Context& c) { return CountIn(c.box, &kerval::mailbox::BoxCore::queued) == 0; }},
    {"AjoutApresListe", eNOK, eNOK,
     [](Context& c) { return Answer(AjoutApresListe(&c.list, "c", 2) != nullptr); },
     [](Context&) {}, [](Context& c) { return Length(c.list) == 2; }},
    {"TriListe", eNOK, eNOK,
     [](Context& c) { return Answer((c.sorted = TriListe(c.list, Ascending)) != nullptr); },
     [](Context&) {}, nullptr},
    // A trace entry may be lost, never the series.
    {"Trace", eOK, eOK, [](Context&) { return AddTrace("alloc", 5, 0), Answer(true); },
     [](Context&) {}, TraceSeriesIntact},
};

// Entries in use: object slots, each type's records, MirrorTab.
std::vector<int> UsedCounts() {
    const SysDescript* sys = _pxSysDescript;
    std::vector<int> counts(SHARE_OBJECT + 2, 0);
    for (int32_t h = 0; h < sys->nNbObject; ++h) counts[0] += sys->pxObjectTab[h].bUsed;
    for (int32_t type = MAILBOX_OBJECT; type <= SHARE_OBJECT; ++type) {
        const kc::TypeTable table = kc::TableOf(sys, type);
        for (int32_t i = 0; i < table.capacity; ++i) counts[type] += *table.UsedFlag(i);
    }
    counts[SHARE_OBJECT + 1] = sys->nNbMirror;
    return counts;
}

struct AllocationWalk : KervalTest, ::testing::WithParamInterface<std::tuple<int, bool>> {
    void SetUp() override {
        KervalTest::SetUp();
        ASSERT_EQ(CreateMailBox("ALLOC_BOX", 8, &context_.box), eOK);
        listener_ = kp::socket_listen_loopback(&context_.port);
        AjoutApresListe(&context_.list, "b", 2);
        AjoutApresListe(&context_.list, "a", 2);
    }
    void TearDown() override {
        kc::PlanAllocationFailure(0);
        FreeListe(&context_.list);
        FreeListe(&context_.sorted);
        kp::socket_close(listener_);
    }
    Context context_;
    kp::Socket listener_ = kp::kInvalidSocket;
};

TEST_P(AllocationWalk, EachFailureAnswersTheCodeAndLeavesNothingBehind) {
    const Path& path = kPaths[std::get<0>(GetParam())];
    const bool every_after = std::get<1>(GetParam());
    for (uint32_t n = 1; n < 64; ++n) {
        const std::vector<int> before = UsedCounts();
        int32_t code = -1;
        bool failed = false;
        CaptureStdoutOf([&] {
            kc::PlanAllocationFailure(n, every_after);
            code = path.create(context_);
            failed = kc::PlannedFailureHappened();
            kc::PlanAllocationFailure(0);
        });
        if (!failed) {
            EXPECT_EQ(code, eOK) << "after " << n - 1 << " allocations";
            CaptureStdoutOf([&] { path.undo(context_); });
            return;
        }
        EXPECT_EQ(code, n == 1 ? path.first_failure : path.failure) << "allocation " << n;
        EXPECT_EQ(UsedCounts(), before) << "allocation " << n;
        EXPECT_EQ(FindObjectMirror(kName), -1) << "allocation " << n;
        EXPECT_TRUE(path.intact == nullptr || path.intact(context_)) << "allocation " << n;
    }
    FAIL() << "the path never ran through";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AllocationWalk,
    ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kPaths))), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
        return std::string(kPaths[std::get<0>(info.param)].name) +
               (std::get<1>(info.param) ? "_FromThenOn" : "_Once");
    });

}  // namespace
