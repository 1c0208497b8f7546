// Last-error storage and system error texts with the Windows wording.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

thread_local uint32_t t_last_error = kErrSuccess;

struct ErrorText {
    uint32_t code;
    const char* text;
};

// The wording FormatMessage gives for the codes this library reports.
constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {32, "The process cannot access the file because it is being used by another process."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {183, "Cannot create a file when that file already exists."},
    {258, "The wait operation timed out."},
    {288, "Attempt to release mutex not owned by caller."},
    {298, "Too many posts were made to a semaphore."},
    {1314, "A required privilege is not held by the client."},
    {1460, "This operation returned because the timeout period expired."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10048,
     "Only one usage of each socket address (protocol/network address/port) is normally "
     "permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10056, "A connect request was made on an already connected socket."},
    {10057,
     "A request to send or receive data was disallowed because the socket is not "
     "connected and (when sending on a datagram socket using a sendto call) no address "
     "was supplied."},
    {10058,
     "A request to send or receive data was disallowed because the socket had already "
     "been shut down in that direction with a previous shutdown call."},
    {10060,
     "A connection attempt failed because the connected party did not properly respond "
     "after a period of time, or established connection failed because connected host "
     "has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10064, "A socket operation failed because the destination host was down."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {11001, "No such host is known."},
};

const char* known_text(uint32_t code)
{
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == code)
            return entry.text;
    }
    return nullptr;
}

}  // namespace

uint32_t last_error()
{
    return t_last_error;
}
void set_last_error(uint32_t code)
{
    t_last_error = code;
}

void error_text(uint32_t code, char* buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return;
    const char* text = known_text(code);
    char scratch[256];
    if (text == nullptr) {
        // GNU strerror_r returns the text (possibly not in scratch); thread-safe.
        text = strerror_r(static_cast<int>(code), scratch, sizeof scratch);
    }
    std::snprintf(buf, size, "%s", text);
}

namespace posix {

uint32_t win32_from_errno(int err)
{
    switch (err) {
        case 0:
            return kErrSuccess;
        case EPERM:
        case EACCES:
            return kErrAccessDenied;
        case ENOENT:
            return 2;
        case EBADF:
            return kErrInvalidHandle;
        case ENOMEM:
        case EAGAIN:
            return kErrNotEnoughMemory;
        case EINVAL:
            return kErrInvalidParameter;
        case EEXIST:
            return 183;
        case ENOSPC:
            return 112;
        case ETIMEDOUT:
            return 1460;
        default:
            return static_cast<uint32_t>(err);
    }
}

uint32_t wsa_from_errno(int err)
{
    switch (err) {
        case 0:
            return kErrSuccess;
        case EAGAIN:
        case ETIMEDOUT:
            return kWsaTimedOut;
        case ECONNREFUSED:
            return kWsaConnRefused;
        case EACCES:
            return 10013;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EINPROGRESS:
            return 10036;
        case EBADF:
        case ENOTSOCK:
            return 10038;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ECONNABORTED:
            return 10053;
        case EPIPE:
        case ECONNRESET:
            return 10054;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ESHUTDOWN:
            return 10058;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            return static_cast<uint32_t>(err);
    }
}

bool fail_errno(int err)
{
    set_last_error(win32_from_errno(err));
    return false;
}

}  // namespace posix
}  // namespace kerval::platform
