// Process-wide services: exit, message box, shutdown, environment, file times.
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kerval/platform/common/seams_internal.h"
#include "kerval/platform/platform.h"
#include "kerval/platform/posix/capability.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

constexpr const char* kShutdownPrivilege = "SeShutdownPrivilege";
constexpr uint32_t kEwxShutdown = 0x1;
constexpr uint32_t kEwxReboot = 0x2;
constexpr uint32_t kEwxPowerOff = 0x8;

void write_all(int fd, const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = write(fd, text, left);
        if (n <= 0 && errno != EINTR)
            return;
        if (n > 0) {
            text += n;
            left -= static_cast<size_t>(n);
        }
    }
}

// Reads one answer line; 'y' or 'n' as its first non-blank character, 0 otherwise, -1 at end.
int read_answer(int fd)
{
    int answer = 0;
    bool first = true;
    char c = 0;
    while (true) {
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        if (c == '\n')
            return answer;
        if (first && !std::isspace(static_cast<unsigned char>(c))) {
            first = false;
            const int lower = std::tolower(static_cast<unsigned char>(c));
            answer = (lower == 'y' || lower == 'n') ? lower : 0;
        }
    }
}

bool ask_on_terminal(const char* text, const char* caption)
{
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int answer = 0;
    while (answer == 0) {
        write_all(fd, "\n[");
        write_all(fd, caption != nullptr ? caption : "");
        write_all(fd, "] ");
        write_all(fd, text != nullptr ? text : "");
        write_all(fd, " (y/n) ");
        answer = read_answer(fd);
    }
    close(fd);
    return answer == 'y';
}

// EWX_POWEROFF -> power off, EWX_REBOOT -> restart, EWX_SHUTDOWN -> halt; EWX_LOGOFF (none of
// them) ends the caller's session by hanging up its process group leader's group.
bool request_shutdown(uint32_t flags)
{
    if ((flags & (kEwxPowerOff | kEwxReboot | kEwxShutdown)) == 0) {
        const pid_t session = getsid(0);
        if (session > 0 && kill(-session, SIGHUP) == 0)
            return true;
        return posix::fail_errno(errno);
    }
    int command = RB_HALT_SYSTEM;
    if (flags & kEwxPowerOff) {
        command = RB_POWER_OFF;
    } else if (flags & kEwxReboot) {
        command = RB_AUTOBOOT;
    }
    sync();
    if (reboot(command) == 0)
        return true;
    set_last_error(errno == EPERM ? kErrPrivilegeNotHeld : posix::win32_from_errno(errno));
    return false;
}

}  // namespace

uint32_t process_id()
{
    return static_cast<uint32_t>(getpid());
}

void process_exit(int code)
{
    if (auto on_exit = detail::process_exit_seam()) {
        on_exit(code);
        thread_exit_current();
    }
    std::fflush(nullptr);
    _exit(code);
}

bool message_box_yes_no(const char* text, const char* caption)
{
    if (auto answer = detail::message_box_seam())
        return answer(text, caption);
    return ask_on_terminal(text, caption);
}

bool enable_shutdown_privilege()
{
    if (posix::privilege_held(kShutdownPrivilege, CAP_SYS_BOOT))
        return true;
    set_last_error(kErrPrivilegeNotHeld);
    return false;
}

bool exit_windows(uint32_t flags, uint32_t reason)
{
    if (auto request = detail::shutdown_seam())
        return request(flags, reason);
    if (!posix::privilege_held(kShutdownPrivilege, CAP_SYS_BOOT)) {
        set_last_error(kErrPrivilegeNotHeld);
        return false;
    }
    return request_shutdown(flags);
}

bool put_environment(const char* entry)
{
    if (entry == nullptr) {
        set_last_error(kErrInvalidParameter);
        return false;
    }
    char* copy = strdup(entry);  // putenv keeps the pointer: the copy lives on
    if (copy == nullptr) {
        set_last_error(kErrNotEnoughMemory);
        return false;
    }
    if (putenv(copy) == 0)  // NOLINT(concurrency-mt-unsafe): PutEnvironment is putenv
        return true;
    const int err = errno;
    std::free(copy);
    return posix::fail_errno(err);
}

bool file_mtime(const char* path, int64_t* seconds)
{
    struct stat st {};
    if (path == nullptr || seconds == nullptr) {
        set_last_error(kErrInvalidParameter);
        return false;
    }
    if (stat(path, &st) != 0)
        return posix::fail_errno(errno);
    *seconds = static_cast<int64_t>(st.st_mtime);
    return true;
}

}  // namespace kerval::platform
