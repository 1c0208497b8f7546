// Helpers shared by the POSIX implementation files.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
#define KV_WAKE_ON_SEM 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KV_WAKE_ON_SEM 1
#endif
#endif

namespace kerval::platform::posix {

// Win32 code for an errno value (the errno value itself when Windows has no counterpart).
uint32_t win32_from_errno(int err);
// Winsock code for an errno value from a socket call.
uint32_t wsa_from_errno(int err);
// Sets the thread's last error from errno (Win32 numbering) and returns false.
bool fail_errno(int err);

// While one of these lives, a termination of the calling thread waits: the thread ends when
// the last one is destroyed. Platform code holds one around every internal lock, so a
// terminated thread never leaves such a lock held.
class DeferTermination {
public:
    DeferTermination();
    ~DeferTermination();
    DeferTermination(const DeferTermination&) = delete;
    DeferTermination& operator=(const DeferTermination&) = delete;
};

// A count of wake-ups for the one thread that waits on it; post() is async-signal-safe. A futex
// word that is woken only when its waiter sleeps. ThreadSanitizer runs a signal's handler for
// a blocked thread only inside the calls it intercepts, so its build keeps a sem_t.
class Wake {
public:
#if defined(KV_WAKE_ON_SEM)
    Wake();
    ~Wake();
#else
    Wake() = default;
    ~Wake() = default;
#endif
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;
    void post();
    // Drops the posts left over; nobody waits or posts meanwhile.
    void reset();
    // Takes one post, or answers EINTR or ETIMEDOUT (deadline absolute on `clock`, null: none).
    int wait(const timespec* deadline, clockid_t clock);

private:
#if defined(KV_WAKE_ON_SEM)
    sem_t sem_;
#else
    std::atomic<uint32_t> word_{0};  // posts, and kSleeping while the waiter sleeps
#endif
};

// Waits until `wake` is posted, timeout_ms passes (kInfinite: no limit) or the thread is
// asked to end (its termination handler posts `wake`). True when posted by someone else.
// Call within a DeferTermination.
bool wait_wake(Wake* wake, uint32_t timeout_ms);

}  // namespace kerval::platform::posix
