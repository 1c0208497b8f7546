// kerval demo: a small equipment gateway.
//
// Three default tasks start together behind the start barrier:
//   POLLER   every 200 ms (a periodic tempo) asks the equipment for one of its four channels over
//            a TCP link, checks the answer's check byte, hands good readings to STORER through
//            its mailbox and puts the latest values into the shared memory block "LATEST";
//            a lost link is rebuilt at the next tick.
//   STORER   appends every reading to readings.dat through the store task (SlowWriteBinFile).
//   DISPLAY  once a second (a calendar tempo: every change of second) shows the latest values.
// After the requested number of readings POLLER asks the application to stop; every task ends
// its work, the start function prints a summary and returns.
//
// Usage: demo --port N [--readings N]   (the equipment simulator is examples/equipment_sim.py)
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "kerval/kerval.h"

namespace {

constexpr int kChannels = 4;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint32_t kAnswerSize = 11;
constexpr int32_t kMsgReading = 100;
constexpr uint32_t kLinkTimeoutMs = 1000;
constexpr const char* kDataPath = "readings.dat";

enum DefaultTaskId : int32_t { kPoller = 1, kStorer = 2, kDisplay = 3 };

// One record of readings.dat.
struct Reading {
    int32_t lChannel;
    int32_t lHundredths;
    MsgDate xDate;
};

// The shared block "LATEST".
struct Latest {
    int32_t alHundredths[kChannels];
    int32_t lReadings;
};

struct Summary {
    std::atomic<int> readings{0};
    std::atomic<int> rejected{0};
    std::atomic<int> reconnects{0};
    std::atomic<int> refused{0};
    std::atomic<long> stored{0};
    std::atomic<int> finished{0};
};

uint16_t g_port = 0;
int g_target = 40;
int32_t g_latest = -1;
Summary g_summary;

int32_t Me()
{
    return _InternalCurrentTaskHandle(__FILE__, __LINE__);
}

// Waits for the next wake-up of the tempo on the task's own box; false when the application
// stops or nothing came for two seconds.
bool NextTick(int32_t hBox, int32_t hTempo)
{
    static thread_local TempoMsg wake;
    while (!HasApplicationToStop()) {
        int32_t type = 0;
        int32_t sender = -1;
        uint32_t size = 0;
        if (ReadMailBox(hBox, &type, &wake, &size, sizeof wake, 2000, nullptr, &sender) != eOK)
            return false;
        if (IsValidTempo(type, sender, &wake) == hTempo)
            return true;
    }
    return false;
}

void Finish()
{
    ++g_summary.finished;
    WaitAlways();  // DeleteAllDefTask ends the task
}

// ---- POLLER

class Poller {
public:
    void Run()
    {
        const int32_t box = CurrentTaskBox();
        int32_t tempo = -1;
        CreateActiveTempo("POLL_TEMPO", TEMPO_DELAY, nullptr, 200, 0, box, &tempo);
        // Stops after the readings asked for, or after four times as many ticks without them.
        for (int tick = 1; NextTick(box, tempo); ++tick) {
            PollOnce();
            if (g_summary.readings >= g_target || tick >= 4 * g_target)
                ApplicationMustStop();
        }
        DeleteTempo(tempo);
        DeleteTcpLink(link_);
    }

private:
    bool Connected()
    {
        if (link_ >= 0)
            return true;
        if (CreateTcpLink("EQUIPMENT", "127.0.0.1", g_port, 0, kLinkTimeoutMs, 0, &link_) != eOK) {
            ++g_summary.refused;
            return false;
        }
        if (ever_connected_) {
            ++g_summary.reconnects;
            DisplayTraceDebug("POLLER: link to the equipment rebuilt\n", 1);
        }
        ever_connected_ = true;
        return true;
    }

    void Drop()
    {
        DisplayTraceDebug("POLLER: link to the equipment lost\n", 1);
        DeleteTcpLink(link_);
        link_ = -1;
    }

    void PollOnce()
    {
        if (!Connected())
            return;
        const uint8_t channel = static_cast<uint8_t>('0' + next_channel_);
        uint8_t request[5] = {kStx, 'R', channel, kEtx, 0};
        request[4] = BCC(4, request);
        uint8_t frame[kAnswerSize] = {};
        if (SendTcpLink(link_, request, sizeof request) != eOK ||
            RecvTcpLink(link_, frame, sizeof frame) != eOK) {
            Drop();
            return;
        }
        if (frame[0] != kStx || frame[1] != 'A' || frame[2] != channel ||
            BCC(kAnswerSize - 1, frame) != frame[kAnswerSize - 1]) {
            ++g_summary.rejected;
            std::printf("POLLER: frame rejected (bad check byte or layout):\n");
            PrintTrameDebug(frame, kAnswerSize, nullptr, 1);
            return;
        }
        if (g_summary.readings == 0) {
            std::printf("POLLER: first answer from the equipment:\n");
            PrintTrameDebug(frame, kAnswerSize, nullptr, 1);
        }
        Deliver(next_channel_, ValueOf(frame));
        next_channel_ = (next_channel_ + 1) % kChannels;
    }

    static int32_t ValueOf(const uint8_t* frame)
    {
        char digits[6] = {};
        std::memcpy(digits, frame + 4, 5);
        const int32_t magnitude = std::atoi(digits);
        return frame[3] == '-' ? -magnitude : magnitude;
    }

    static void Deliver(int channel, int32_t hundredths)
    {
        Reading reading{channel, hundredths, {}};
        ReadAppDateTime(&reading.xDate);
        WriteToTask(Me(), DefTaskHandle(kStorer), kMsgReading, &reading, sizeof reading, 0);
        Latest latest{};
        ReadShareMem(g_latest, &latest, sizeof latest);
        latest.alHundredths[channel] = hundredths;
        latest.lReadings = ++g_summary.readings;
        WriteShareMem(g_latest, &latest, sizeof latest);
    }

    int32_t link_ = -1;
    bool ever_connected_ = false;
    int next_channel_ = 0;
};

uint32_t PollerTask(void*)
{
    SynchroWithDefaultTask();
    Poller().Run();
    Finish();
    return 0;
}

// ---- STORER

uint32_t StorerTask(void*)
{
    SynchroWithDefaultTask();
    SlowOpenBinFile("READINGS", kDataPath, "wb");
    for (;;) {
        Reading reading{};
        int32_t type = 0;
        uint32_t size = 0;
        const int32_t code =
            ReadFromTask(Me(), &type, &reading, &size, sizeof reading, 500, nullptr, nullptr);
        if (code == eOK && type == kMsgReading) {
            SlowWriteBinFile("READINGS", 0, 2, &reading, sizeof reading, 0);
            g_summary.stored += static_cast<long>(sizeof reading);
        } else if (code == eTIME_OVER && HasApplicationToStop()) {
            break;  // stopping, and nothing left in the box
        }
    }
    SlowCloseBinFile("READINGS");
    Finish();
    return 0;
}

// ---- DISPLAY

uint32_t DisplayTask(void*)
{
    SynchroWithDefaultTask();
    const int32_t box = CurrentTaskBox();
    int32_t tempo = -1;
    CreateActiveTempo("DISPLAY_TEMPO", TEMPO_SECOND, nullptr, 0, 0, box, &tempo);
    while (NextTick(box, tempo)) {
        Latest latest{};
        ReadShareMem(g_latest, &latest, sizeof latest);
        char now[64] = {};
        StrDateCour(now);
        std::printf("DISPLAY %s  readings %3d ", now, latest.lReadings);
        for (int32_t value : latest.alHundredths)
            std::printf(" %+8.2f", value / 100.0);
        std::printf("\n");
        std::fflush(stdout);
    }
    DeleteTempo(tempo);
    Finish();
    return 0;
}

DefTask g_tasks[] = {
    {kPoller, "POLLER", PollerTask, THREAD_PRIORITY_ABOVE_NORMAL, "POLLER_BOX", 10, 0, -1, nullptr},
    {kStorer, "STORER", StorerTask, THREAD_PRIORITY_NORMAL, "STORER_BOX", 200, 0, -1, nullptr},
    {kDisplay, "DISPLAY", DisplayTask, THREAD_PRIORITY_NORMAL, "DISPLAY_BOX", 10, 0, -1, nullptr},
};
constexpr uint16_t kTaskCount = sizeof g_tasks / sizeof g_tasks[0];

// The store task handles requests in order: the file object is gone once the close ran.
long BytesOnDisk()
{
    for (int i = 0; i < 100 && HandleFromFile(kDataPath) >= 0; ++i)
        WaitTime(50);
    std::ifstream file(kDataPath, std::ios::binary | std::ios::ate);
    return file ? static_cast<long>(file.tellg()) : -1;
}

int g_exit_code = 1;

int32_t Start()
{
    if (CreateShareMem("LATEST", sizeof(Latest), &g_latest) != eOK ||
        CreateSynchroDefaultTask(kTaskCount) != eOK ||
        CreateAllDefTask(g_tasks, kTaskCount) != eOK) {
        std::fprintf(stderr, "demo: cannot create the gateway's objects\n");
        return 1;
    }
    WaitSynchroAllDefaultTask(kTaskCount);
    while (g_summary.finished < kTaskCount)
        WaitTime(50);
    DeleteAllDefTask();
    const long on_disk = BytesOnDisk();
    std::printf("\n== gateway summary\n");
    std::printf("readings taken       %d\n", g_summary.readings.load());
    std::printf("frames rejected      %d\n", g_summary.rejected.load());
    std::printf("links reconnected    %d\n", g_summary.reconnects.load());
    std::printf("connections refused  %d\n", g_summary.refused.load());
    std::printf("bytes stored         %ld (%ld on disk in %s)\n", g_summary.stored.load(), on_disk,
                kDataPath);
    std::fflush(stdout);
    g_exit_code = g_summary.readings >= g_target && on_disk == g_summary.stored ? 0 : 1;
    return 0;
}

bool ParseArguments(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0)
            g_port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--readings") == 0)
            g_target = std::atoi(argv[i + 1]);
        else
            return false;
    }
    return g_port != 0 && g_target > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!ParseArguments(argc, argv)) {
        std::fprintf(stderr, "usage: demo --port N [--readings N]\n");
        return 2;
    }
    // 20 tasks, 20 boxes, 10 semaphores, 60 tempos, 5 of each other kind.
    static InitOptions options = {0, 20, 20, 10, 60, 5, 5, 5, 5, 0};
    if (InitApplication(&options, Start) != eOK)
        return 1;
    return g_exit_code;
}
