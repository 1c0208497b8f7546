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

#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform {
namespace {

// Finds the process holding a lock on the given file in /proc/locks, 0 if none is listed.
// Lines read: "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter ("->") is skipped.
uint32_t lock_holder(const struct stat& st) {
    FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return 0;
    char line[256];
    uint32_t holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        if (std::strstr(line, "->") != nullptr) continue;
        unsigned pid = 0;
        unsigned major_no = 0;
        unsigned minor_no = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%*d: %*s %*s %*s %u %x:%x:%llu", &pid, &major_no, &minor_no,
                        &inode) == 4 &&
            inode == st.st_ino && major_no == major(st.st_dev) && minor_no == minor(st.st_dev)) {
            holder = pid;
        }
    }
    std::fclose(locks);
    return holder;
}

struct ProcessFlag {
    bool held = true;
    uint32_t holder = 0;
};

ProcessFlag& process_flag() {
    static ProcessFlag flag;
    return flag;
}

}  // namespace

bool single_process_lock(const char* path, uint32_t* holder_pid) {
    if (holder_pid != nullptr) *holder_pid = 0;
    const int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return posix::fail_errno(path != nullptr ? errno : EINVAL);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;  // the descriptor stays open: held
    const int err = errno;
    struct stat st {};
    if (err == EWOULDBLOCK && holder_pid != nullptr && fstat(fd, &st) == 0) {
        *holder_pid = lock_holder(st);
    }
    close(fd);
    set_last_error(err == EWOULDBLOCK ? kErrAccessDenied : posix::win32_from_errno(err));
    return false;
}

bool single_process_check(uint32_t* holder_pid) {
    const ProcessFlag& flag = process_flag();
    if (holder_pid != nullptr) *holder_pid = flag.held ? 0 : flag.holder;
    return flag.held;
}

#ifdef KERVAL_SHARED_BUILD
namespace {

// Runs when the library is loaded into a process.
__attribute__((constructor)) void take_process_flag() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&take_process_flag), &info) == 0 ||
        info.dli_fname == nullptr) {
        return;
    }
    ProcessFlag& flag = process_flag();
    flag.held = single_process_lock(info.dli_fname, &flag.holder);
}

}  // namespace
#endif

}  // namespace kerval::platform
