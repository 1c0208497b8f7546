// Errors, process control, privileges, environment and the one-process flag on Win32.
#include <windows.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kerval/platform/common/seams_internal.h"

namespace kerval::platform {
namespace {

bool fail(DWORD code)
{
    SetLastError(code);
    return false;
}

// Enables one privilege in the process token. A call that succeeds without assigning the
// privilege (ERROR_NOT_ALL_ASSIGNED) counts as failure only when strict.
bool enable_privilege(const char* name, bool strict)
{
    if (auto check = detail::privilege_seam()) {
        return check(name) || fail(ERROR_PRIVILEGE_NOT_HELD);
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    DWORD code = GetLastError();
    if (ok && strict && code == ERROR_NOT_ALL_ASSIGNED) {
        ok = false;
        code = ERROR_PRIVILEGE_NOT_HELD;
    }
    CloseHandle(token);
    SetLastError(ok ? ERROR_SUCCESS : code);
    return ok;
}

void copy_cut(const char* text, size_t length, char* buf, size_t size)
{
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    if (length >= size)
        length = size - 1;
    std::memcpy(buf, text, length);
    buf[length] = '\0';
}

}  // namespace

uint32_t last_error()
{
    return GetLastError();
}

void set_last_error(uint32_t code)
{
    SetLastError(code);
}

void error_text(uint32_t code, char* buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return;
    if (const char* known = detail::windows_error_text(code)) {
        copy_cut(known, std::strlen(known), buf, size);
        return;
    }
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
        nullptr);
    if (length == 0 || text == nullptr) {
        buf[0] = '\0';
        return;
    }
    copy_cut(text, length, buf, size);
    LocalFree(text);
}

bool enable_systemtime_privilege()
{
    return enable_privilege(SE_SYSTEMTIME_NAME, true);
}

bool enable_shutdown_privilege()
{
    return enable_privilege(SE_SHUTDOWN_NAME, false);
}

uint32_t process_id()
{
    return GetCurrentProcessId();
}

void process_exit(int code)
{
    std::fflush(nullptr);
    if (auto on_exit = detail::process_exit_seam()) {
        on_exit(code);
        thread_exit_current();
    }
    ExitProcess(static_cast<UINT>(code));
}

bool message_box_yes_no(const char* text, const char* caption)
{
    if (auto answer = detail::message_box_seam())
        return answer(text, caption);
    return MessageBoxA(nullptr, text, caption, MB_YESNO | MB_ICONSTOP) == IDYES;
}

bool exit_windows(uint32_t flags, uint32_t reason)
{
    if (auto request = detail::shutdown_seam())
        return request(flags, reason);
    return ExitWindowsEx(flags, reason) != 0;
}

bool put_environment(const char* entry)
{
    if (entry == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return _putenv(entry) == 0;
}

bool file_mtime(const char* path, int64_t* seconds)
{
    struct _stat64 status;
    if (path == nullptr || _stat64(path, &status) != 0)
        return fail(ERROR_FILE_NOT_FOUND);
    *seconds = status.st_mtime;
    return true;
}

}  // namespace kerval::platform
