// Start-up options: their check and completion, the printed memory estimate, the start itself.
#include "tests/support/fixtures.h"

namespace {

int32_t Param(InitOptions* o, int32_t task, int32_t box, int32_t tempo) {
    return InitParamSystem(1, task, box, 10, tempo, 5, 5, 5, 5, o);
}

std::vector<int32_t> Counts(const InitOptions& o) {
    return {o.NbMaxTask,    o.NbMaxMailBox, o.NbMaxSem,   o.NbMaxTempo,  o.NbMaxSock,
            o.NbMaxSection, o.NbMaxFile,    o.NbMaxShare, o.NbMaxObject, o.bTraceConsole};
}

TEST(InitParamSystem, SmallestAcceptedCountsAreCompletedAndTheEstimatePrinted) {
    InitOptions o{};
    ASSERT_EQ(Param(&o, 20, 20, 60), 0);
    EXPECT_EQ(Counts(o), std::vector<int32_t>({24, 23, 14, 60, 5, 6, 5, 5, 142, 1}));
    const long sem = 14L * static_cast<long>(sizeof(SemDescript) + 1100);
    const std::string out = CaptureStdoutOf([&] { EXPECT_EQ(EvaluateMemSize(&o), 0); });
    const std::string tail =
        ">octets\n\tdont " + std::to_string(sem) + " pour la table des semaphores.\n";
    EXPECT_EQ(out.rfind("\nKERVAL : taille requise en memoire pour les objets =<", 0), 0u);
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST(InitParamSystem, CountBelowItsMinimumIsRefusedAndClearsTheRecord) {
    InitOptions o = MinimalOptions();
    o.bTraceConsole = 1;
    EXPECT_EQ(CaptureStdoutOf([&] { EXPECT_EQ(Param(&o, 20, 20, 59), 1); }),
              "1 InitParamSystem() Un des param\xE8tres n'est pas suffisant !");
    EXPECT_EQ(Counts(o), std::vector<int32_t>({-1, -1, -1, -1, -1, -1, -1, -1, -1, 0}));
    EXPECT_EQ(Param(&o, 20, 19, 60), 1);  // fewer mailboxes than tasks
    EXPECT_EQ(Param(&o, 19, 20, 60), 1);
}

TEST(InitKerval, RefusedOptionsReportTheFailedStepAndBuildNoDescriptor) {
    TempDir dir;
    EXPECT_EQ(_InternalCurrentTaskHandle(__FILE__, __LINE__), -1);  // nothing started yet
    InitOptions o = MinimalOptions();
    o.NbMaxSem = 9;
    EXPECT_THAT(CaptureStdoutOf([&] { EXPECT_EQ(InitKerval(&o), eNOK); }),
                HasSubstr("KERVAL-InitKerval() : InitParamSystem() fails\n"));
    EXPECT_EQ(_pxSysDescript, nullptr);
    EXPECT_EQ(ObjectExist(0), 0);
}

TEST(InitKerval, StartsOnceAndPutsTheTimeZoneEntry) {
    TempDir dir;
    ASSERT_EQ(StartKerval(), eOK);
    const char* tz = std::getenv("TZ ");
    ASSERT_NE(tz, nullptr);
    EXPECT_STREQ(tz, " GMT");
    InitOptions again = MinimalOptions();
    CaptureStdoutOf([&] { EXPECT_EQ(InitKerval(&again), eNOK); });
}

}  // namespace
