// The wake-up a blocked thread sleeps on: a futex word holding the count of posts and a flag
// the waiter sets before it sleeps, so a post makes the system call only when someone sleeps.
// Only one thread ever waits on a given Wake.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "kerval/platform/platform.h"
#include "kerval/platform/posix/internal.h"

namespace kerval::platform::posix {

#if defined(KV_WAKE_ON_SEM)

Wake::Wake()
{
    sem_init(&sem_, 0, 0);
}

Wake::~Wake()
{
    sem_destroy(&sem_);
}

KV_HOT_PATH void Wake::post()
{
    sem_post(&sem_);
}

void Wake::reset()
{
    sem_destroy(&sem_);
    sem_init(&sem_, 0, 0);
}

KV_HOT_PATH int Wake::wait(const timespec* deadline, clockid_t clock)
{
    int rc = 0;
    if (deadline == nullptr) {
        rc = sem_wait(&sem_);
    } else if (clock == CLOCK_MONOTONIC) {
        rc = sem_clockwait(&sem_, CLOCK_MONOTONIC, deadline);
    } else {
        rc = sem_timedwait(&sem_, deadline);
    }
    return rc == 0 ? 0 : errno;
}

#else

namespace {

constexpr uint32_t kSleeping = 0x80000000u;

uint32_t* futex_of(std::atomic<uint32_t>& word)
{
    return reinterpret_cast<uint32_t*>(&word);
}

}  // namespace

KV_HOT_PATH void Wake::post()
{
    if ((word_.fetch_add(1) & kSleeping) != 0)
        syscall(SYS_futex, futex_of(word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void Wake::reset()
{
    word_.store(0);
}

KV_HOT_PATH int Wake::wait(const timespec* deadline, clockid_t clock)
{
    const int op = FUTEX_WAIT_BITSET_PRIVATE | (clock == CLOCK_REALTIME ? FUTEX_CLOCK_REALTIME : 0);
    uint32_t word = word_.load();
    for (;;) {
        if ((word & ~kSleeping) != 0) {
            if (word_.compare_exchange_weak(word, (word - 1) & ~kSleeping))
                return 0;
            continue;
        }
        if ((word & kSleeping) == 0 && !word_.compare_exchange_weak(word, word | kSleeping))
            continue;
        if (syscall(SYS_futex, futex_of(word_), op, kSleeping, deadline, nullptr,
                    FUTEX_BITSET_MATCH_ANY) != 0 &&
            (errno == EINTR || errno == ETIMEDOUT)) {
            return errno;
        }
        word = word_.load();
    }
}

#endif

}  // namespace kerval::platform::posix
