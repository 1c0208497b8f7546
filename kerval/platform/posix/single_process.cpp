// One-process flag. The shared library takes an exclusive flock on its own file when it is
// loaded; another process loading the same file does not get it. The kernel drops the lock
// when the holder ends. flock works on a read-only descriptor (an installed library is
// rarely writable); the holder's pid is looked up in /proc/locks, which lists flock owners.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

// Finds the process holding a lock on the given file in /proc/locks, 0 if none is listed.
// Lines read: "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter ("->") is skipped.
uint32_t lock_holder(const struct stat& st)
{
    FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr)
        return 0;
    char line[256];
    uint32_t holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        if (std::strstr(line, "->") != nullptr)
            continue;
        unsigned pid = 0;
        unsigned major_no = 0;
        unsigned minor_no = 0;
        unsigned long long inode = 0;
        // NOLINTNEXTLINE(cert-err34-c): the kernel writes these fields within their types
        if (std::sscanf(line, "%*d: %*s %*s %*s %u %x:%x:%llu", &pid, &major_no, &minor_no,
                        &inode) == 4 &&
            inode == st.st_ino && major_no == major(st.st_dev) && minor_no == minor(st.st_dev)) {
            holder = pid;
        }
    }
    std::fclose(locks);
    return holder;
}

// Takes the lock through a new descriptor, left open while held; -1 when refused.
int lock_file(const char* path, uint32_t* holder_pid)
{
    if (holder_pid != nullptr)
        *holder_pid = 0;
    const int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        posix::fail_errno(path != nullptr ? errno : EINVAL);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    const int err = errno;
    struct stat st {};
    if (err == EWOULDBLOCK && holder_pid != nullptr && fstat(fd, &st) == 0) {
        *holder_pid = lock_holder(st);
    }
    close(fd);
    set_last_error(err == EWOULDBLOCK ? kErrAccessDenied : posix::win32_from_errno(err));
    return -1;
}

struct ProcessFlag {
    std::mutex lock;  // guards the fields below
    bool attached = false;
    bool held = true;  // the static build always holds it
    uint32_t holder = 0;
    int fd = -1;
};

ProcessFlag& process_flag()
{
    static ProcessFlag flag;
    return flag;
}

#ifdef KERVAL_SHARED_BUILD
// Path of the file this library was loaded from.
const char* library_path()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&library_path), &info) == 0)
        return nullptr;
    return info.dli_fname;
}
#endif

}  // namespace

bool single_process_lock(const char* path, uint32_t* holder_pid)
{
    return lock_file(path, holder_pid) >= 0;  // the descriptor stays open: held until exit
}

bool single_process_attach()
{
#ifdef KERVAL_SHARED_BUILD
    ProcessFlag& flag = process_flag();
    std::lock_guard guard(flag.lock);
    if (!flag.attached) {
        flag.attached = true;
        const char* path = library_path();
        flag.fd = path != nullptr ? lock_file(path, &flag.holder) : -1;
        flag.held = path == nullptr || flag.fd >= 0;
    }
    return flag.held;
#else
    return true;
#endif
}

void single_process_detach()
{
    ProcessFlag& flag = process_flag();
    std::lock_guard guard(flag.lock);
    if (flag.fd >= 0)
        close(flag.fd);  // closing the last descriptor drops the flock
    flag.fd = -1;
}

bool single_process_check(uint32_t* holder_pid)
{
    ProcessFlag& flag = process_flag();
    std::lock_guard guard(flag.lock);
    if (holder_pid != nullptr)
        *holder_pid = flag.held ? 0 : flag.holder;
    return flag.held;
}

#ifdef KERVAL_SHARED_BUILD
namespace {

// Takes the flag when the library is loaded, whether or not the entry point asks first.
__attribute__((constructor)) void attach_at_load()
{
    single_process_attach();
}

}  // namespace
#endif

}  // namespace kerval::platform
