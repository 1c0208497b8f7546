// kerval demo: two tasks play ping-pong through their main mailboxes while the starting thread
// waits for the end of the game on its own box, then deletes them and ends.
#include <cstdio>

#include "kerval/kerval.h"

namespace {

constexpr int32_t kMsgNumber = 1;
constexpr int32_t kMsgDone = 2;
constexpr int32_t kRounds = 5;

int32_t g_ping = -1;
int32_t g_pong = -1;

// Each task's parameter block: its own mailbox and a greeting.
struct TaskParam {
    int32_t hBox;
    char szGreeting[32];
};

int32_t Me()
{
    return _InternalCurrentTaskHandle(__FILE__, __LINE__);
}

TaskParam MyParam()
{
    TaskParam param{};
    RecoverTaskParam(Me(), &param, sizeof param);
    return param;
}

// Sends 1..kRounds to PONG, prints each answer, then tells the starting thread it is done.
uint32_t Ping(void*)
{
    const TaskParam param = MyParam();
    std::printf("[%s] started: \"%s\"\n", CurrentTaskName(), param.szGreeting);
    // PONG answers to the sender's main box: wait until main has attached it.
    while (CurrentTaskBox() != param.hBox)
        WaitTime(1);
    for (int32_t n = 1; n <= kRounds; ++n) {
        WriteToTask(Me(), g_pong, kMsgNumber, &n, sizeof n, 0);
        int32_t answer = 0;
        uint32_t size = 0;
        int32_t sender = -1;
        if (ReadMailBox(param.hBox, nullptr, &answer, &size, sizeof answer, 5000, nullptr,
                        &sender) != eOK) {
            std::printf("[%s] no answer\n", CurrentTaskName());
            break;
        }
        std::printf("[%s] sent %d, %s answered %d\n", CurrentTaskName(), n, NameFromObject(sender),
                    answer);
    }
    WriteToTask(Me(), g_pong, kMsgDone, nullptr, 0, 0);
    WriteToTask(Me(), 0, kMsgDone, nullptr, 0, 0);
    WaitAlways();
}

// Answers every number with its square until told to stop.
uint32_t Pong(void*)
{
    const TaskParam param = MyParam();
    std::printf("[%s] started: \"%s\"\n", CurrentTaskName(), param.szGreeting);
    for (;;) {
        int32_t type = 0;
        int32_t n = 0;
        uint32_t size = 0;
        int32_t sender = -1;
        if (ReadMailBox(param.hBox, &type, &n, &size, sizeof n, WAIT_FOREVER, nullptr, &sender) !=
                eOK ||
            type == kMsgDone) {
            return 0;
        }
        const int32_t square = n * n;
        WriteToTask(Me(), sender, kMsgNumber, &square, sizeof square, 0);
    }
}

// Creates the task's box, then the task with the box in its parameter block.
int32_t StartTask(const char* name, const char* box_name, PFN_TASK fn, const char* greeting,
                  int32_t* phTask)
{
    TaskParam param{};
    int32_t code = CreateMailBox(box_name, 10, &param.hBox);
    if (code != eOK)
        return code;
    std::snprintf(param.szGreeting, sizeof param.szGreeting, "%s", greeting);
    code = CreateTask(name, THREAD_PRIORITY_NORMAL, fn, &param, sizeof param, 0, phTask);
    if (code != eOK)
        return code;
    return SetTaskMainMailBox(*phTask, param.hBox);
}

}  // namespace

int main()
{
    static InitOptions options{};
    options.NbMaxTask = 20;
    options.NbMaxMailBox = 20;
    options.NbMaxSem = 10;
    options.NbMaxTempo = 60;
    options.NbMaxSock = 5;
    options.NbMaxSection = 5;
    options.NbMaxFile = 5;
    options.NbMaxShare = 5;
    if (InitKerval(&options) != eOK) {
        std::fprintf(stderr, "demo: the library did not start\n");
        return 1;
    }
    int32_t my_box = -1;
    if (CreateMailBox("MAIN_BOX", 4, &my_box) != eOK || SetTaskMainMailBox(0, my_box) != eOK ||
        StartTask("PONG", "PONG_BOX", Pong, "I square numbers", &g_pong) != eOK ||
        StartTask("PING", "PING_BOX", Ping, "I count to 5", &g_ping) != eOK) {
        std::fprintf(stderr, "demo: cannot create the tasks\n");
        return 1;
    }
    int32_t type = 0;
    const int32_t code = ReadFromTask(0, &type, nullptr, nullptr, 0, 20000, nullptr, nullptr);
    DeleteTask(g_ping);
    DeleteTask(g_pong);
    std::printf("demo: %s\n", code == eOK && type == kMsgDone ? "done" : "timed out");
    std::fflush(stdout);
    return code == eOK ? 0 : 1;
}
