// Counting semaphores: immediate answers, arrival order, time-outs, deletions.
#include "tests/support/tasks.h"

namespace {

using Semaphore = TaskTest;

std::atomic<int32_t> g_results[6];

int32_t NewSem() {
    int32_t h = -1;
    CaptureStdoutOf([&] { CreateSem("S", 5, 0, &h); });
    return h;
}

// Immediate answers keep the counts; every type shares one namespace; the table fills up.
TEST_F(Semaphore, ImmediateAnswersNamesAndFullTable) {
    const int32_t sem_ = NewSem();
    const int32_t mute = Made(CreateMute, "M", 1), section = Made(CreateCriticalSec, "C");
    Made(CreateMailBox, "B", 1);
    int32_t big = -1, h = 7, from_thread = -1;
    std::thread([&] { from_thread = TakeSem(sem_, 1, 0); }).join();  // no task record to queue
    uint16_t n = 0;
    std::vector<std::pair<int32_t, int32_t>> rows;
    const std::string out = CaptureStdoutOf([&] {
        rows = {{CreateSem("Z", 0, 0, &h) + CreateSem("Z", 3, 4, &h), 2},  // max 0; initial > max
                {h, -1},
                {CreateSem("BIG", 65535, 5, &big), eOK},
                {FreeSem(sem_, 2), eOK},
                {from_thread, eNOK},
                {TakeSem(sem_, 6, WAIT_FOREVER), eNOK},  // above the maximum
                {TakeSem(sem_, 3, 0), eTIME_OVER},
                {FreeSem(sem_, 4), eNOK},
                {FreeSem(big, 65531), eNOK},  // 5 + 65531 computed wider than 16 bits
                {InfoSem(sem_, nullptr), eINVALID_HANDLE},
                {TakeSem(999, 1, 0) + FreeSem(999, 1) + InfoSem(999, &n) + DeleteSem(999), 4},
                {TakeSem(mute, 0, 0) + FreeSem(mute, 1), 2},
                {TakeMute(sem_, 0) + FreeMute(section), 2},
                {EnterCriticalSec(sem_) + LeaveCriticalSec(sem_) + DeleteCriticalSec(sem_), 3},
                {CreateSem("B", 1, 0, &h), eOBJECT_EXIST},
                {CreateMute("S", 1, &h), eOBJECT_EXIST},
                {CreateCriticalSec("M", &h), eOBJECT_EXIST},
                {h, -1}};
    });
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
    EXPECT_THAT(out, ::testing::StartsWith("\nLe semaphore BIG est cree!...\nObject 999 is not a "
                                           "semaphore !"));
    for (const std::string& text :
         std::vector<std::string>{"KERVAL-FreeSem()", "KERVAL-DeleteSem", "KERVAL-TakeMute()",
                                  "Object " + std::to_string(sem_) + " is not a Mutex (NT) !",
                                  "Object " + std::to_string(section) + " is not a semaphore !"})
        EXPECT_THAT(out, ::testing::HasSubstr(text));
    EXPECT_EQ(n, 0xFFFF);
    EXPECT_TRUE(QueueBecomes(sem_, {}));
    EXPECT_THAT((std::vector<uint16_t>{CountOf(sem_), CountOf(mute), CountOf(big)}),
                ::testing::ElementsAre(2, 1, 5));
    EXPECT_EQ(FreeSem(big, 65530), eOK);
    EXPECT_EQ(CountOf(big), 65535);
    const SemDescript* table = _pxSysDescript->pxSemTab;
    const auto free_records = std::count_if(table, table + _pxSysDescript->nNbSem,
                                            [](const SemDescript& r) { return r.bUsed == 0; });
    int64_t created = 0;
    CaptureStdoutOf([&] {
        for (std::string name = "T"; CreateSem(name.c_str(), 1, 1, &h) == eOK; name += "x")
            ++created;
    });
    EXPECT_EQ(created, free_records);
    EXPECT_EQ(h, -1);
}

// Arrival order whatever the priority, kept through time-outs (middle, while suspended; end) and
// deletions; the head holds back smaller requests; a newcomer finding units takes them at once;
// handed units are never taken twice, and go on to the next if their waiter is deleted.
TEST_F(Semaphore, QueueKeepsArrivalOrderThroughTimeOutsAndDeletions) {
    kerval::task::SetWaitSliceMs(10);
    const int32_t sem_ = NewSem();
    EXPECT_EQ(TakeSem(sem_, 1, -1), eTIME_OVER);
    const int32_t requests[][3] = {{2, WAIT_FOREVER, -2}, {1, 1000, 15}, {1, 60000, 0},
                                   {2, WAIT_FOREVER, 0},  {1, 60000, 0}, {5, WAIT_FOREVER, 0}};
    std::vector<int32_t> q;  // each request queued, in arrival order, before the next is made
    for (const auto& [units, ms, priority] : requests) {
        const size_t i = q.size();
        const char name[] = {'W', static_cast<char>('0' + i), 0};
        g_results[i] = -1;
        q.push_back(StartTask(
            name, [=, u = static_cast<uint16_t>(units)] { g_results[i] = TakeSem(sem_, u, ms); },
            priority));
        ASSERT_TRUE(QueueBecomes(sem_, q));
    }
    CaptureStdoutOf([&] { ActiveTask(q[1], 0); });
    EXPECT_EQ(FreeSem(sem_, 1), eOK);
    kerval::platform::sleep_ms(1100);  // the time-out of q[1], long enough to queue four more
    EXPECT_TRUE(QueueBecomes(sem_, q));
    EXPECT_EQ(TakeSem(sem_, 1, 0), eOK);
    ActiveTask(q[1], 1);
    ASSERT_TRUE(WaitFor([] { return g_results[1] == eTIME_OVER; }));
    EXPECT_EQ(TakeSem(sem_, 1, 30), eTIME_OVER);
    CaptureStdoutOf([&] { DeleteTask(q[3]), ActiveTask(q[0], 0), ActiveTask(q[2], 0); });
    EXPECT_TRUE(QueueBecomes(sem_, {q[0], q[2], q[4], q[5]}));
    EXPECT_EQ(FreeSem(sem_, 3), eOK);
    EXPECT_TRUE(QueueBecomes(sem_, {q[4], q[5]}));
    CaptureStdoutOf([&] { DeleteTask(q[2]); });
    EXPECT_TRUE(WaitFor([] { return g_results[4] == eOK; }));
    EXPECT_EQ(FreeSem(sem_, 2), eOK);
    ActiveTask(q[0], 1);
    EXPECT_TRUE(WaitFor([] { return g_results[0] == eOK; }));
    EXPECT_EQ(CountOf(sem_), 2);
    kerval::task::SetWaitSliceMs(0);
    EXPECT_EQ(DeleteSem(sem_), eOK);
    EXPECT_TRUE(WaitFor([] { return g_results[5] == eNOK; }));
    CaptureStdoutOf([&] { EXPECT_EQ(FreeSem(sem_, 1) + TakeSem(sem_, 0, 0), 2); });
}

}  // namespace
