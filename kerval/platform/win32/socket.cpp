// TCP client sockets on Windows Sockets 2.2.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "kerval/platform/platform.h"

namespace kerval::platform {
namespace {

SOCKET native(Socket s) { return static_cast<SOCKET>(s); }

}  // namespace

bool net_startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void net_cleanup() { WSACleanup(); }

bool net_resolve_ipv4(const char* host, uint32_t* addr_be) {
    if (host == nullptr || *host == '\0') {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return false;
    }
    in_addr dotted{};
    if (inet_pton(AF_INET, host, &dotted) == 1) {
        *addr_be = dotted.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        WSASetLastError(rc != 0 ? rc : WSAHOST_NOT_FOUND);
        return false;
    }
    *addr_be = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

Socket socket_tcp() {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

bool socket_connect(Socket s, uint32_t addr_be, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr_be;
    to.sin_port = htons(port);
    return connect(native(s), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

bool socket_set_timeouts(Socket s, uint32_t send_ms, uint32_t recv_ms) {
    const DWORD send_value = send_ms;
    const DWORD recv_value = recv_ms;
    return setsockopt(native(s), SOL_SOCKET, SO_SNDTIMEO,
                      reinterpret_cast<const char*>(&send_value), sizeof send_value) == 0 &&
           setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO,
                      reinterpret_cast<const char*>(&recv_value), sizeof recv_value) == 0;
}

bool socket_set_linger(Socket s, bool on, uint16_t seconds) {
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    return setsockopt(native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

int socket_send(Socket s, const void* data, int len) {
    const int sent = send(native(s), static_cast<const char*>(data), len, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int socket_recv(Socket s, void* data, int len) {
    const int got = recv(native(s), static_cast<char*>(data), len, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

bool socket_shutdown_both(Socket s) { return shutdown(native(s), SD_BOTH) == 0; }

bool socket_close(Socket s) { return closesocket(native(s)) == 0; }

uint32_t net_last_error() { return static_cast<uint32_t>(WSAGetLastError()); }

Socket socket_listen_loopback(uint16_t* port) {
    const Socket s = socket_tcp();
    if (s == kInvalidSocket) return s;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    if (bind(native(s), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(native(s), 16) != 0 ||
        getsockname(native(s), reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        const int code = WSAGetLastError();
        closesocket(native(s));
        WSASetLastError(code);
        return kInvalidSocket;
    }
    if (port != nullptr) *port = ntohs(at.sin_port);
    return s;
}

Socket socket_accept(Socket listener) {
    const SOCKET s = accept(native(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

}  // namespace kerval::platform
