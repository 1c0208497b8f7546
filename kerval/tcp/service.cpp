// The TCP task: it owns the closing of every link's socket, one request at a time, in the
// order of its mailbox.
#include <algorithm>
#include <atomic>

#include "kerval/core/core.h"
#include "kerval/error/report.h"
#include "kerval/tcp/tcp_service.h"

namespace kerval::tcp {
namespace {

constexpr const char* kTaskName = "_TCP_TASK";
constexpr const char* kBoxName = "_TCP_BOX";
constexpr const char* kTaskProc = "KERVAL-TcpTaskFunction()";
constexpr int32_t kShutdownType = 1;
constexpr uint16_t kBoxCapacity = 10;
constexpr uint32_t kTaskStack = 50000;
constexpr uint32_t kReadyWaitMs = 5000;
constexpr uint32_t kRetryMs = 100;
constexpr uint32_t kLingerUnit = 100;  // hundredths of a second per linger second

struct ShutdownRequest {
    int32_t lRequest;
    int32_t sSocket;
    uint32_t lLinger;
};
static_assert(sizeof(ShutdownRequest) == 12);

std::atomic<uint32_t> g_requests{0};
std::atomic<uint32_t> g_connect_limit_ms{kConnectLimitMs};

// Signalled by the task once its box is open.
platform::Semaphore* ReadySignal()
{
    static platform::Semaphore* ready = platform::semaphore_create(0, 1);
    return ready;
}

// The task's box: the existing one, or a new one.
int32_t TcpBox()
{
    const int32_t found = FindObjectMirror(kBoxName);
    if (found >= 0 && ObjectExist(found) == MAILBOX_OBJECT)
        return found;
    int32_t box = -1;
    const int32_t code = CreateMailBox(kBoxName, kBoxCapacity, &box);
    if (code != eOK)
        ErreurApp(code, kTaskProc, "CreateMailBox( TCP_MAILBOX_NAME) fail\n");
    return box;
}

}  // namespace

uint32_t ConnectLimitMs()
{
    return g_connect_limit_ms.load(std::memory_order_relaxed);
}

void SetConnectLimitMs(uint32_t ms)
{
    g_connect_limit_ms.store(ms != 0 ? ms : kConnectLimitMs, std::memory_order_relaxed);
}

void _TcpShutdown(platform::Socket sSocket, uint32_t lLinger, int32_t lRequest)
{
    (void)lRequest;
    const bool linger = lLinger >= kLingerUnit;
    const uint32_t seconds = std::min<uint32_t>(lLinger / kLingerUnit, 0xFFFF);
    platform::socket_set_linger(sSocket, linger, static_cast<uint16_t>(linger ? seconds : 0));
    platform::socket_discard_input(sSocket);
    platform::socket_shutdown_both(sSocket);
    platform::socket_discard_input(sSocket);  // what arrived meanwhile
    platform::socket_close(sSocket);
}

void TCPShutdownRequest(platform::Socket sSocket, uint32_t lLinger)
{
    const auto number = static_cast<int32_t>(g_requests.fetch_add(1) + 1);
    const ShutdownRequest request{number, static_cast<int32_t>(sSocket), lLinger};
    const int32_t code = WriteMailBox(core::CurrentTaskHandle(), FindObjectMirror(kBoxName),
                                      kShutdownType, &request, sizeof request, -1);
    if (code == eOK)
        return;
    KV_REPORT(code, "KERVAL-TCPShutdownRequest()", "WriteMailBox( Shutdown) echoue !", 0);
    _TcpShutdown(sSocket, lLinger, number);
}

void _PurgeSocket(platform::Socket sSocket, uint32_t lLinger)
{
    TCPShutdownRequest(sSocket, lLinger);
}

uint32_t TcpTaskFunction(void*)
{
    int32_t box = TcpBox();
    platform::semaphore_release(ReadySignal(), 1, nullptr);
    for (;;) {
        ShutdownRequest request{};
        int32_t type = 0;
        uint32_t size = 0;
        const int32_t code = ReadMailBox(box, &type, &request, &size, sizeof request, WAIT_FOREVER,
                                         nullptr, nullptr);
        if (code == eOK && type == kShutdownType && size == sizeof request) {
            _TcpShutdown(request.sSocket, request.lLinger, request.lRequest);
        } else if (code != eOK && code != eTIME_OVER && code != eBAD_LEN) {
            // The box is gone: serve a new one rather than spin on the dead handle.
            platform::sleep_ms(kRetryMs);
            box = TcpBox();
        }
    }
}

int32_t StartService()
{
    const int32_t found = FindObjectMirror(kTaskName);
    if (found >= 0 && ObjectExist(found) == TASK_OBJECT)
        return eOK;
    platform::Semaphore* ready = ReadySignal();
    int32_t task = -1;
    const int32_t code = CreateTask(kTaskName, platform::kPrioLowest, TcpTaskFunction, nullptr, 0,
                                    kTaskStack, &task);
    if (code == eOK)
        platform::semaphore_wait(ready, kReadyWaitMs);
    return code;
}

}  // namespace kerval::tcp
