// Sending and receiving whole buffers on a link. No system lock: the link's hold keeps its
// socket open, and two tasks using one link interleave their calls.
#include <algorithm>

#include "kerval/kerval.h"
#include "kerval/tcp/tcp_service.h"

namespace kerval::tcp {
namespace {

// The socket takes or gives what it can per call: larger calls than the historical 4096 bytes
// are invisible to the peer and spare system calls.
constexpr uint32_t kLargestCall = 1u << 30;
constexpr int64_t kBudgetSteps = 10;

using SocketCall = int (*)(platform::Socket s, char* data, int len);

int SendCall(platform::Socket s, char* data, int len)
{
    return platform::socket_send(s, data, len);
}
int RecvCall(platform::Socket s, char* data, int len)
{
    return platform::socket_recv(s, data, len);
}

int32_t TransferLoop(platform::Socket s, char* at, uint32_t remaining, uint32_t step,
                     int64_t budget, const std::atomic<bool>* deleted, SocketCall call,
                     const char* failure)
{
    while (remaining != 0) {
        const int n = call(s, at, static_cast<int>(std::min(remaining, kLargestCall)));
        if (n > 0) {
            remaining -= static_cast<uint32_t>(n);
            at += n;
            continue;
        }
        if (deleted != nullptr && deleted->load(std::memory_order_acquire))
            return eINVALID_HANDLE;
        if (n == 0)
            return eTIME_OVER;  // the peer has closed: no byte will come any more
        if (platform::net_last_error() != platform::kWsaTimedOut) {
            DisplayTraceDebug(failure, 1);
            return eNOK;
        }
        budget -= step;
        if (step != 0 && budget < 1)
            return eTIME_OVER;
    }
    return eOK;
}

// A transfer on a link: its time-out is the step, ten of them the budget.
int32_t LinkTransfer(int32_t hLink, char* pBuffer, uint32_t lSize, SocketCall call,
                     const char* failure)
{
    const LinkUse use(hLink);
    if (!use.Valid())
        return eINVALID_HANDLE;
    if (pBuffer == nullptr)
        return eNOK;
    const LinkState& link = use.State();
    return TransferLoop(link.socket, pBuffer, lSize, link.timeout, kBudgetSteps * link.timeout,
                        &link.deleted, call, failure);
}

}  // namespace

int32_t SendTcpBuffer(platform::Socket sSocket, const void* pBuffer, uint32_t lSize, uint32_t lStep,
                      int64_t lBudget, const std::atomic<bool>* deleted)
{
    char* at = const_cast<char*>(static_cast<const char*>(pBuffer));
    return TransferLoop(sSocket, at, lSize, lStep, lBudget, deleted, SendCall, "send failed.");
}

int32_t ReceiveTcpBuffer(platform::Socket sSocket, void* pBuffer, uint32_t lSize, uint32_t lStep,
                         int64_t lBudget, const std::atomic<bool>* deleted)
{
    return TransferLoop(sSocket, static_cast<char*>(pBuffer), lSize, lStep, lBudget, deleted,
                        RecvCall, "recv failed.");
}

}  // namespace kerval::tcp

using namespace kerval;

// send() only reads the buffer; both directions share one loop with a char pointer.
extern "C" KV_API int32_t SendTcpLink(int32_t hLink, const void* pBuffer, uint32_t lSize)
{
    char* data = const_cast<char*>(static_cast<const char*>(pBuffer));
    return tcp::LinkTransfer(hLink, data, lSize, tcp::SendCall, "send failed.");
}

extern "C" KV_API int32_t RecvTcpLink(int32_t hLink, void* pBuffer, uint32_t lSize)
{
    return tcp::LinkTransfer(hLink, static_cast<char*>(pBuffer), lSize, tcp::RecvCall,
                             "recv failed.");
}
