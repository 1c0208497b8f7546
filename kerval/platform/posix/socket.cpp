// TCP client sockets; errors are reported in Winsock numbering.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "kerval/platform/common/seams_internal.h"
#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

constexpr uint32_t kWsaNotSocket = 10038;

int fd_of(Socket s)
{
    return static_cast<int>(s);
}

bool fail_wsa(int err)
{
    set_last_error(posix::wsa_from_errno(err));
    return false;
}

bool set_time_option(Socket s, int option, uint32_t ms)
{
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
    if (setsockopt(fd_of(s), SOL_SOCKET, option, &tv, sizeof tv) == 0)
        return true;
    return fail_wsa(errno);
}

sockaddr_in ipv4_address(uint32_t addr_be, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr_be;
    sa.sin_port = htons(port);
    return sa;
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

// The errno of a non-blocking connect in progress once it ends, or ETIMEDOUT after limit_ms.
int wait_connected(int fd, uint32_t limit_ms)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    pollfd watch{fd, POLLOUT, 0};
    int ready;
    do {  // suspension signals interrupt the wait; the deadline stays
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int wait_ms =
            limit_ms == kInfinite ? -1 : static_cast<int>(std::max<int64_t>(0, left.count()));
        ready = poll(&watch, 1, wait_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return ETIMEDOUT;
    if (ready < 0)
        return errno;
    int err = 0;
    socklen_t size = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0)
        return errno;
    return err;
}

}  // namespace

bool net_startup()
{
    return true;
}
void net_cleanup() {}

bool net_resolve_ipv4(const char* host, uint32_t* addr_be)
{
    if (host == nullptr || addr_be == nullptr)
        return fail_wsa(EINVAL);
    in_addr parsed{};
    if (inet_pton(AF_INET, host, &parsed) == 1) {
        *addr_be = parsed.s_addr;
        return true;
    }
    if (resolve_by_name(host, addr_be))
        return true;
    set_last_error(kWsaHostNotFound);
    return false;
}

Socket socket_tcp()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail_wsa(errno);
        return kInvalidSocket;
    }
#ifdef SO_NOSIGPIPE  // where MSG_NOSIGNAL is not enough
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return fd;
}

bool socket_connect(Socket s, uint32_t addr_be, uint16_t port, uint32_t limit_ms)
{
    const int fd = fd_of(s);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail_wsa(errno);
    const sockaddr_in sa = ipv4_address(addr_be, port);
    int err = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        err = errno == EINPROGRESS || errno == EINTR ? wait_connected(fd, limit_ms) : errno;
    if (fcntl(fd, F_SETFL, flags) != 0 && err == 0)
        err = errno;
    return err == 0 || fail_wsa(err);
}

bool socket_set_timeouts(Socket s, uint32_t send_ms, uint32_t recv_ms)
{
    return set_time_option(s, SO_SNDTIMEO, send_ms) && set_time_option(s, SO_RCVTIMEO, recv_ms);
}

bool socket_set_linger(Socket s, bool on, uint16_t seconds)
{
    linger value{on ? 1 : 0, seconds};
    if (setsockopt(fd_of(s), SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0)
        return true;
    return fail_wsa(errno);
}

int socket_send(Socket s, const void* data, int len)
{
    if (len < 0) {
        fail_wsa(EINVAL);
        return -1;
    }
    ssize_t n;
    do {
        n = send(fd_of(s), data, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        fail_wsa(errno);
    return static_cast<int>(n);
}

int socket_recv(Socket s, void* data, int len)
{
    if (len < 0) {
        fail_wsa(EINVAL);
        return -1;
    }
    ssize_t n;
    do {
        n = recv(fd_of(s), data, static_cast<size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        fail_wsa(errno);
    return static_cast<int>(n);
}

void socket_discard_input(Socket s)
{
    constexpr int kMostReads = 1024;  // a peer that never stops sending cannot hold the close
    char sink[16384];
    for (int i = 0; i < kMostReads; ++i) {
        const ssize_t n = recv(fd_of(s), sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

bool socket_shutdown_both(Socket s)
{
    if (shutdown(fd_of(s), SHUT_RDWR) == 0)
        return true;
    return fail_wsa(errno);
}

bool socket_close(Socket s)
{
    if (s == kInvalidSocket) {
        set_last_error(kWsaNotSocket);
        return false;
    }
    if (close(fd_of(s)) == 0)
        return true;
    return fail_wsa(errno);
}

uint32_t net_last_error()
{
    return last_error();
}

Socket socket_listen_loopback(uint16_t* port, int backlog)
{
    const Socket s = socket_tcp();
    if (s == kInvalidSocket)
        return s;
    sockaddr_in sa = ipv4_address(htonl(INADDR_LOOPBACK), 0);
    socklen_t size = sizeof sa;
    if (bind(fd_of(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(fd_of(s), backlog) != 0 ||
        getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&sa), &size) != 0) {
        fail_wsa(errno);
        close(fd_of(s));
        return kInvalidSocket;
    }
    if (port != nullptr)
        *port = ntohs(sa.sin_port);
    return s;
}

Socket socket_accept(Socket listener)
{
    int fd;
    do {
        fd = accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail_wsa(errno);
        return kInvalidSocket;
    }
    return fd;
}

}  // namespace kerval::platform
