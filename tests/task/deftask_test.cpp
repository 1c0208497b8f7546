// Default tasks: the table's creation, refusals, accessors and deletion.
#include "tests/support/tasks.h"

namespace {

using DefaultTasks = TaskTest;

std::atomic<int32_t> g_box_at_start{-2};
std::atomic<int> g_started{0}, g_passed{0};

uint32_t Park(void*) {
    const int32_t box = GetTaskMainMailBox(_InternalCurrentTaskHandle(__FILE__, __LINE__));
    if (box != -1) g_box_at_start = box;
    ++g_started;
    WaitAlways();
}

int32_t Objects() {
    int32_t used = 0;
    for (int32_t h = 0; h < _pxSysDescript->nNbObject; ++h) used += ObjectExist(h) != NULL_OBJECT;
    return used;
}

TEST_F(DefaultTasks, TableCreatesBoxesTasksAndAnswersByIdentifier) {
    DefTask table[] = {
        {7, "DEF_A", Park, 0, "BOX_A", 4, 0, -1, "abc"},
        {8, "DEF_B", Park, 1, "", 0, 0, -1, nullptr},
        {7, "DEF_C", Park, 0, nullptr, 0, 60000, -1, ""},  // same id: the last row counts
    };
    const std::string log = CaptureStdoutOf([&] { ASSERT_EQ(eOK, CreateAllDefTask(table, 3)); });
    ASSERT_TRUE(WaitFor([] { return g_started.load() == 3; }));
    const int32_t box_a = FindObjectMirror("BOX_A");
    EXPECT_EQ(box_a, g_box_at_start.load());  // attached before the task function ran
    const TaskDescript& a = TaskRecordOf(table[0].hTask);
    EXPECT_EQ(std::string(static_cast<const char*>(a.pParam), a.lParamSize), "abc");
    EXPECT_EQ(table[2].hTask, DefTaskHandle(7));
    EXPECT_STREQ("DEF_C", DefTaskName(7));
    EXPECT_EQ(nullptr, DefTaskBoxName(7));
    EXPECT_EQ(std::make_pair(-1, -1), std::make_pair(DefTaskBoxHandle(7), DefTaskBoxHandle(8)));
    EXPECT_EQ(std::string(DefTaskName(9)) + "|" + DefTaskBoxName(9), "invalid id|invalid id");
    EXPECT_EQ(std::make_tuple(7, -1, -1),
              std::make_tuple(HandleInDefTaskId(table[0].hTask), HandleInDefTaskId(0),
                              HandleInDefTaskId(-1)));
    EXPECT_THAT(ReadTextFile("TRACE.001.LOG"), HasSubstr("Task and Box DEF_B created."));

    CaptureStdoutOf([] { EXPECT_EQ(eOK, DeleteAllDefTask()); });
    EXPECT_EQ(-1, DefTaskHandle(8));  // the table stays recorded, the tasks are gone
    EXPECT_STREQ("DEF_B", DefTaskName(8));
    Made(CreateMailBox, "REUSER", 1);  // a new object in the freed slot is not the default task
    EXPECT_EQ(-1, DefTaskHandle(8));
}

TEST_F(DefaultTasks, RefusedTablesCreateNothing) {
    const DefTask good = {1, "DEF_OK", Park, 0, "DEF_BOX", 2, 0, -1, nullptr};
    const int32_t max = _pxSysDescript->xInitOptions->NbMaxTask;
    std::vector<DefTask> too_many(static_cast<size_t>(max) + 1, good);
    DefTask with_no_name[] = {good, {2, nullptr, Park, 0, nullptr, 0, 0, -1, nullptr}};
    DefTask with_no_fn[] = {good, {3, "DEF_NOFN", nullptr, 0, nullptr, 0, 0, -1, nullptr}};
    DefTask twice[] = {good, {4, "DEF_DUP", Park, 0, "DEF_BOX", 2, 0, -1, nullptr}};  // same box
    const int32_t before = Objects();
    EXPECT_EQ(CaptureStdoutOf(
                  [&] { EXPECT_EQ(eNOK, CreateAllDefTask(too_many.data(), uint16_t(max + 1))); }),
              "number of default task > _pxSysDescript->xInitOptions->NbMaxTask (=" +
                  std::to_string(max) + ")\n");
    EXPECT_EQ(eNOK, CreateAllDefTask(nullptr, 1));
    EXPECT_EQ(eNOK, CreateAllDefTask(with_no_name, 2));
    EXPECT_EQ(eNOK, CreateAllDefTask(with_no_fn, 2));
    EXPECT_EQ(before, Objects());
    EXPECT_THAT(CaptureStdoutOf([&] { EXPECT_NE(eOK, CreateAllDefTask(twice, 2)); }),  // no task
                HasSubstr("! KERVAL-CreateAllDefTask : can create default box task[1].\n"));
    EXPECT_EQ(-1, FindObjectMirror("DEF_OK"));
    EXPECT_EQ(nullptr, _pxSysDescript->pxDefTaskTab);
    EXPECT_EQ(eOK, CreateAllDefTask(nullptr, 0));  // an empty table is recorded
    EXPECT_EQ(0, _pxSysDescript->nNbDefTask);
}

uint32_t MeetAtTheBarrier(void*) { SynchroWithDefaultTask(), ++g_passed, WaitAlways(); }

// Nobody passes the barrier before the last of the three tasks has reached it, a late one here.
TEST_F(DefaultTasks, StartBarrierReleasesAllTasksTogether) {
    BeginCaptureStdout();
    ASSERT_EQ(eOK, CreateSynchroDefaultTask(3));
    EXPECT_EQ(eOK, CreateSynchroDefaultTask(0));  // nothing to do for no tasks
    for (const char* name : {"EARLY_1", "EARLY_2"})
        Made(CreateTask, name, 0, MeetAtTheBarrier, nullptr, 0u, 0u);
    std::atomic<int> passed_before_late{-1};
    std::thread late([&] {
        uint16_t ready = 0;
        WaitFor(
            [&] { return InfoSem(FindObjectMirror("SEM_INITOK"), &ready) == eOK && ready == 2; });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        passed_before_late = g_passed.load();
        Made(CreateTask, "LATE", 0, MeetAtTheBarrier, nullptr, 0u, 0u);
    });
    WaitSynchroAllDefaultTask(3);
    late.join();
    EXPECT_TRUE(WaitFor([] { return g_passed.load() == 3; }));
    const std::string out = EndCaptureStdout();
    EXPECT_EQ(0, passed_before_late.load());
    EXPECT_THAT(out, HasSubstr("LATE is waiting.\n"));
    EXPECT_THAT(out, HasSubstr("\nKERVAL-WaitSynchroAllDefaultTask : Go to all Task...\n"));
    EXPECT_THAT(out, HasSubstr("task EARLY_1 is running (Thread Id=<"));
}

}  // namespace
