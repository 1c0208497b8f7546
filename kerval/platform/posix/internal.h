// Helpers shared by the POSIX implementation files.
#pragma once

#include <semaphore.h>

#include <cstdint>

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

// Waits until `wake` is posted, timeout_ms passes (kInfinite: no limit) or the thread is
// asked to end (its termination handler posts `wake`). True when posted by someone else.
// Call within a DeferTermination.
bool wait_wake(sem_t* wake, uint32_t timeout_ms);

}  // namespace kerval::platform::posix
