// Internal interface of the TCP links: the TCP task that closes sockets, the shutdown requests
// it serves, the transfer loops, and the hold that transfers keep on a link.
#pragma once

#include <atomic>
#include <cstdint>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::tcp {

// Starts "_TCP_TASK" (priority THREAD_PRIORITY_LOWEST, 50000-byte stack) unless a task of that
// name exists, and waits (at most 5 s) until its mailbox "_TCP_BOX" is open. eOK, or the code
// of CreateTask. The library start-up calls it; tests call it in its place.
int32_t StartService();

// Body of "_TCP_TASK": serves the shutdown requests of "_TCP_BOX" one at a time; never returns.
uint32_t TcpTaskFunction(void* pParam);

// Posts the closing of a socket to the TCP task. A request that cannot be posted is reported
// as a warning and the socket is closed at once instead (never left open).
void TCPShutdownRequest(platform::Socket sSocket, uint32_t lLinger);
void _PurgeSocket(platform::Socket sSocket, uint32_t lLinger);

// Closes a socket for good. lLinger below 100: linger off, so queued output still leaves in
// the background; from 100: linger on for lLinger / 100 seconds. Input that has arrived is
// read and dropped first, so that the close is not turned into a reset.
void _TcpShutdown(platform::Socket sSocket, uint32_t lLinger, int32_t lRequest);

// The longest wait of a connect, as Windows' own (three SYN attempts, about 21 s).
constexpr uint32_t kConnectLimitMs = 21000;
uint32_t ConnectLimitMs();
void SetConnectLimitMs(uint32_t ms);  // test hook; 0 restores kConnectLimitMs

// The transfer loops. Each call moves as many bytes as the socket takes; only calls that time
// out spend lBudget (lStep each), and below 1 the transfer ends with eTIME_OVER. lStep 0: no
// limit. A peer that has closed ends a receive with eTIME_OVER; another socket error writes
// "send failed." / "recv failed." to the trace output and gives eNOK. When `deleted` becomes
// true (the link was deleted), a failing call ends the transfer with eINVALID_HANDLE.
int32_t SendTcpBuffer(platform::Socket sSocket, const void* pBuffer, uint32_t lSize, uint32_t lStep,
                      int64_t lBudget, const std::atomic<bool>* deleted);
int32_t ReceiveTcpBuffer(platform::Socket sSocket, void* pBuffer, uint32_t lSize, uint32_t lStep,
                         int64_t lBudget, const std::atomic<bool>* deleted);

// ---- links in use by transfers (one lock for the table, held only to count users)
struct LinkState {
    platform::Socket socket = platform::kInvalidSocket;
    uint32_t timeout = 0;
    uint32_t linger = 0;
    uint32_t users = 0;
    std::atomic<bool> deleted{false};
};

// A transfer's hold on a link: while held, the link's socket is neither closed nor reused.
class LinkUse {
public:
    explicit LinkUse(int32_t hLink);
    ~LinkUse();
    LinkUse(const LinkUse&) = delete;
    LinkUse& operator=(const LinkUse&) = delete;
    bool Valid() const { return state_ != nullptr; }
    const LinkState& State() const { return *state_; }

private:
    LinkState* state_ = nullptr;
};

// Makes a connected link available to transfers; false when out of memory. Caller holds the
// system lock.
bool AttachLink(int32_t hLink, platform::Socket sSocket, uint32_t lTimeout, uint32_t lLinger);
// Withdraws a link from transfers. True when none uses it: the caller has its socket closed.
// Otherwise the socket is shut down, which wakes the transfers, and the last one to leave
// has it closed. Caller holds the system lock.
bool DetachLink(int32_t hLink);

}  // namespace kerval::tcp
