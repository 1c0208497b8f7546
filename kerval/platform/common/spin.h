// Spinning before a sleep. A thread about to block on a semaphore first watches it for a few
// microseconds: when the thread that will release it runs on another processor, the hand-over
// then costs neither the sleep nor the releaser's wake-up call. A thread that may run on a single
// processor never spins: the thread it waits for cannot run meanwhile. Nor do the waiters of a
// semaphore whose recent spins failed (its releaser shares their processor, or is slow).
// Only kerval/platform code includes this header.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kerval::platform::detail {

// The longest spin of a waiter. A wake-up across processors takes 7 to 20 us on a virtual
// machine of two processors: two threads handing work back and forth settle into spinning
// (neither of them sleeps any more) only when a spin outlasts the other one's wake-up.
constexpr std::chrono::nanoseconds kSpinBudget{10000};
// The longest spin on a held BriefMutex, whose holders stay for a few pointer updates.
constexpr std::chrono::nanoseconds kLockSpinBudget{2000};

// Processors the calling thread may run on (on Windows, those of the process); at least 1.
unsigned processors_usable();

// True when the calling thread may run on two processors or more. The affinity is looked up
// again every so many calls, so a thread pinned meanwhile soon stops spinning.
bool spinning_may_help();

#if !defined(_WIN32)
// Sleeps while *word holds `expected`; may also return without cause (the caller looks again).
// Waking a sleeper needs only the word's address, which may be freed meanwhile.
void address_wait(std::atomic<int>* word, int expected);
void address_wake_one(std::atomic<int>* word);
#endif

// Tells the processor that the caller is spinning (x86 PAUSE).
inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// The spin record of one semaphore, shared by its waiters (a hint: races only blur it). A few
// failures in a row are tolerated (a releaser that was itself asleep takes longer to answer);
// past them, each failure makes the waiters skip spinning for twice as many waits as before.
class SpinHistory {
public:
    // Whether the next wait may spin; counts down the waits to skip.
    bool may_spin()
    {
        const uint32_t skips = skips_left_.load(std::memory_order_relaxed);
        if (skips == 0)
            return true;
        skips_left_.store(skips - 1, std::memory_order_relaxed);
        return false;
    }
    void note(bool taken)
    {
        constexpr uint32_t kTolerated = 3;
        constexpr uint32_t kLongestPauseLog2 = 8;  // at most 255 waits without a spin
        if (taken) {
            failures_.store(0, std::memory_order_relaxed);
            return;
        }
        const uint32_t failures = failures_.load(std::memory_order_relaxed) + 1;
        failures_.store(failures, std::memory_order_relaxed);
        if (failures <= kTolerated)
            return;
        const uint32_t log2 = failures - kTolerated;
        skips_left_.store((1u << (log2 < kLongestPauseLog2 ? log2 : kLongestPauseLog2)) - 1,
                          std::memory_order_relaxed);
    }

private:
    std::atomic<uint32_t> skips_left_{0};
    std::atomic<uint32_t> failures_{0};
};

// What one poll of a spin found.
enum class Poll { kAgain, kTaken, kGiveUp };

// Polls until poll() answers kTaken (true) or kGiveUp, or the budget is spent; answers false at
// once when spinning cannot help.
template <class PollFn>
bool spin_for(SpinHistory& history, PollFn poll)
{
    if (!spinning_may_help() || !history.may_spin())
        return false;
    constexpr int kPollsPerClockRead = 8;
    const auto until = std::chrono::steady_clock::now() + kSpinBudget;
    do {
        for (int i = 0; i < kPollsPerClockRead; ++i) {
            const Poll found = poll();
            if (found == Poll::kTaken)
                history.note(true);
            if (found != Poll::kAgain)
                return found == Poll::kTaken;
            cpu_relax();
        }
    } while (std::chrono::steady_clock::now() < until);
    history.note(false);
    return false;
}

}  // namespace kerval::platform::detail
