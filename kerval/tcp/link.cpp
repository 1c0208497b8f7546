// TCP link objects: creation with the connect, deletion, and their queries.
#include <atomic>
#include <cstring>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/tcp/tcp_service.h"

namespace kerval::tcp {
namespace {

// The socket field is read without the system lock: a link is live once it holds a socket.
std::atomic_ref<KvSocket> SocketField(TcpLinkRec& rec)
{
    return std::atomic_ref<KvSocket>(rec.sSocket);
}

void ClearRecord(TcpLinkRec& rec)
{
    rec.szHostName[0] = '\0';
    rec.szAuxName[0] = '\0';
    SocketField(rec).store(platform::kInvalidSocket, std::memory_order_release);
    rec.hMute1 = -1;
    rec.hMute2 = -1;
}

// Reserves the slot and the record under the link's name; the name is taken from here on,
// while the link itself does not exist until its socket is stored.
int32_t ReserveLink(const char* pszName, const char* pszHost, uint32_t lTimeout, uint32_t lLinger,
                    int32_t* phLink)
{
    return core::CreateObject(SOCK_OBJECT, pszName, phLink,
                              [&](int32_t, int32_t index, const char*) {
                                  TcpLinkRec& rec = core::Sys()->pxSockTab[index];
                                  ClearRecord(rec);
                                  std::strncpy(rec.szHostName, pszHost, sizeof rec.szHostName - 1);
                                  rec.szHostName[sizeof rec.szHostName - 1] = '\0';
                                  rec.lTimeout = lTimeout;
                                  rec.lLinger = lLinger;
                                  core::StoreFlag(rec.bUsed, 1);
                                  return static_cast<int32_t>(eOK);
                              });
}

// Resolves and connects without the system lock. A socket that fails after its creation is
// handed over for closing.
int32_t Connect(const char* pszHost, uint16_t nPort, uint32_t lTimeout, uint32_t lLinger,
                platform::Socket* out)
{
    uint32_t address = 0;
    if (!platform::net_resolve_ipv4(pszHost, &address))
        return eTCP_UNKNOWN_HOST;
    const platform::Socket s = platform::socket_tcp();
    if (s == platform::kInvalidSocket)
        return eTCP_CONNECTION_FAIL_SOCKET;
    int32_t code = eOK;
    if (!platform::socket_connect(s, address, nPort, ConnectLimitMs())) {
        code = eTCP_CONNECTION_FAIL_CONNECT;
    } else if (!platform::socket_set_timeouts(s, lTimeout, lTimeout)) {
        code = eTCP_CONNECTION_FAIL_SOCKTOUT;
    }
    if (code != eOK) {
        _PurgeSocket(s, lLinger);
        return code;
    }
    *out = s;
    return eOK;
}

// Makes the reserved link live with its socket, or frees the reservation.
int32_t Complete(int32_t hLink, int32_t code, platform::Socket s)
{
    core::SysLock lock;
    SysDescript* sys = core::Sys();
    TcpLinkRec& rec = sys->pxSockTab[core::LoadInt(sys->pxObjectTab[hLink].nIndex)];
    if (code == eOK && !AttachLink(hLink, s, rec.lTimeout, rec.lLinger)) {
        _PurgeSocket(s, rec.lLinger);
        code = eNOK;
    }
    if (code == eOK) {
        SocketField(rec).store(s, std::memory_order_release);
        return eOK;
    }
    ClearRecord(rec);
    core::ReleaseObject(hLink);
    return code;
}

}  // namespace
}  // namespace kerval::tcp

using namespace kerval;

extern "C" KV_API int32_t CreateTcpLink(const char* pszName, const char* pszHost, uint16_t nPort,
                                        uint32_t lReserved, uint32_t lTimeout, uint32_t lLinger,
                                        int32_t* phLink)
{
    (void)lReserved;
    if (phLink != nullptr)
        *phLink = -1;
    if (pszHost == nullptr)
        return eTCP_UNKNOWN_HOST;
    int32_t handle = -1;
    int32_t code = tcp::ReserveLink(pszName, pszHost, lTimeout, lLinger, &handle);
    if (code != eOK)
        return code;
    platform::Socket s = platform::kInvalidSocket;
    code = tcp::Connect(pszHost, nPort, lTimeout, lLinger, &s);
    code = tcp::Complete(handle, code, s);
    if (code == eOK && phLink != nullptr)
        *phLink = handle;
    return code;
}

extern "C" KV_API int32_t SuspendTcpLink(int32_t hLink, int32_t lFlag)
{
    (void)lFlag;
    return core::SockRecord(hLink) != nullptr ? eOK : eNOK;
}

extern "C" KV_API int32_t DeleteTcpLink(int32_t hLink)
{
    platform::Socket s = platform::kInvalidSocket;
    uint32_t linger = 0;
    int32_t result = eOK;
    bool unused = false;
    {
        core::SysLock lock;
        TcpLinkRec* rec = core::SockRecord(hLink);
        if (rec == nullptr)
            return eOK;
        s = rec->sSocket;
        linger = rec->lLinger;
        result = SuspendTcpLink(hLink, 0);
        tcp::ClearRecord(*rec);
        core::ReleaseObject(hLink);
        unused = tcp::DetachLink(hLink);
    }
    // The link's mutex fields are never set by the library (no operation creates them).
    if (unused)
        tcp::TCPShutdownRequest(s, linger);
    return result;
}

extern "C" KV_API KvSocket SocketFromHandle(int32_t hLink)
{
    TcpLinkRec* rec = core::SockRecord(hLink);
    if (rec == nullptr)
        return -1;
    return tcp::SocketField(*rec).load(std::memory_order_acquire);
}
