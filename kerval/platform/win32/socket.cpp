// TCP client sockets on Windows Sockets 2.2.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "kerval/platform/common/seams_internal.h"
#include "kerval/platform/platform.h"

namespace kerval::platform {
namespace {

SOCKET native(Socket s)
{
    return static_cast<SOCKET>(s);
}

bool fail_wsa(int code)
{
    WSASetLastError(code);
    return false;
}

bool resolve_by_name(const char* host, uint32_t* addr_be)
{
    if (seams::Resolver resolve = detail::resolver_seam(); resolve != nullptr)
        return resolve(host, addr_be);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    RegionGuard region;  // it allocates and takes the resolver's locks: no task ends holding them
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    *addr_be = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

bool set_blocking(SOCKET s, bool blocking)
{
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}

// The Winsock code of a non-blocking connect in progress once it ends, or WSAETIMEDOUT after
// limit_ms.
int wait_connected(SOCKET s, uint32_t limit_ms)
{
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{static_cast<long>(limit_ms / 1000), static_cast<long>(limit_ms % 1000) * 1000};
    const int ready =
        select(0, nullptr, &writable, &failed, limit_ms == kInfinite ? nullptr : &limit);
    if (ready == 0)
        return WSAETIMEDOUT;
    if (ready == SOCKET_ERROR)
        return WSAGetLastError();
    int err = 0;
    int size = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &size) != 0)
        return WSAGetLastError();
    return err == 0 && FD_ISSET(s, &failed) ? WSAECONNREFUSED : err;
}

}  // namespace

bool net_startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void net_cleanup()
{
    WSACleanup();
}

bool net_resolve_ipv4(const char* host, uint32_t* addr_be)
{
    if (host == nullptr || addr_be == nullptr)
        return fail_wsa(WSAEINVAL);
    in_addr dotted{};
    if (inet_pton(AF_INET, host, &dotted) == 1) {
        *addr_be = dotted.s_addr;
        return true;
    }
    return resolve_by_name(host, addr_be) || fail_wsa(WSAHOST_NOT_FOUND);
}

Socket socket_tcp()
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

bool socket_connect(Socket s, uint32_t addr_be, uint16_t port, uint32_t limit_ms)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr_be;
    to.sin_port = htons(port);
    if (!set_blocking(native(s), false))
        return false;
    int err = 0;
    if (connect(native(s), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK)
            err = wait_connected(native(s), limit_ms);
    }
    if (!set_blocking(native(s), true) && err == 0)
        err = WSAGetLastError();
    return err == 0 || fail_wsa(err);
}

bool socket_set_timeouts(Socket s, uint32_t send_ms, uint32_t recv_ms)
{
    const DWORD send_value = send_ms;
    const DWORD recv_value = recv_ms;
    return setsockopt(native(s), SOL_SOCKET, SO_SNDTIMEO,
                      reinterpret_cast<const char*>(&send_value), sizeof send_value) == 0 &&
           setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO,
                      reinterpret_cast<const char*>(&recv_value), sizeof recv_value) == 0;
}

bool socket_set_linger(Socket s, bool on, uint16_t seconds)
{
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    return setsockopt(native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

int socket_send(Socket s, const void* data, int len)
{
    const int sent = send(native(s), static_cast<const char*>(data), len, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int socket_recv(Socket s, void* data, int len)
{
    const int got = recv(native(s), static_cast<char*>(data), len, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

void socket_discard_input(Socket s)
{
    constexpr int kMostReads = 1024;  // a peer that never stops sending cannot hold the close
    char sink[16384];
    for (int i = 0; i < kMostReads; ++i) {
        u_long ready = 0;
        if (ioctlsocket(native(s), FIONREAD, &ready) != 0 || ready == 0)
            return;
        const int want = static_cast<int>(std::min<u_long>(ready, sizeof sink));
        if (recv(native(s), sink, want, 0) <= 0)
            return;
    }
}

bool socket_shutdown_both(Socket s)
{
    const bool done = shutdown(native(s), SD_BOTH) == 0;
    const int code = WSAGetLastError();
    // A shutdown alone does not end a blocking receive of another thread here.
    CancelIoEx(reinterpret_cast<HANDLE>(native(s)), nullptr);
    return done || fail_wsa(code);
}

bool socket_close(Socket s)
{
    return closesocket(native(s)) == 0;
}

uint32_t net_last_error()
{
    return static_cast<uint32_t>(WSAGetLastError());
}

Socket socket_listen_loopback(uint16_t* port, int backlog)
{
    const Socket s = socket_tcp();
    if (s == kInvalidSocket)
        return s;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    if (bind(native(s), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(native(s), backlog) != 0 ||
        getsockname(native(s), reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        const int code = WSAGetLastError();
        closesocket(native(s));
        WSASetLastError(code);
        return kInvalidSocket;
    }
    if (port != nullptr)
        *port = ntohs(at.sin_port);
    return s;
}

Socket socket_accept(Socket listener)
{
    const SOCKET s = accept(native(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

}  // namespace kerval::platform
