// Last-error storage and system error texts with the Windows wording.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kerval/platform/common/seams_internal.h"
#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

thread_local uint32_t t_last_error = kErrSuccess;
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
    const char* text = detail::windows_error_text(code);
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
