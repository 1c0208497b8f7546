#include "kerval/platform/common/spin.h"

#include "kerval/platform/platform.h"

namespace kerval::platform {
namespace detail {
namespace {

struct Affinity {
    unsigned calls_left;  // calls before the next look-up
    bool several;         // the thread may use two processors or more
};
thread_local Affinity t_affinity KV_HOT_TLS;

}  // namespace

KV_HOT_PATH bool spinning_may_help()
{
    constexpr unsigned kCallsPerLookUp = 256;
    if (t_affinity.calls_left == 0) {
        t_affinity.several = processors_usable() > 1;
        t_affinity.calls_left = kCallsPerLookUp;
    }
    --t_affinity.calls_left;
    return t_affinity.several;
}

}  // namespace detail

namespace {

// Retries a held lock for a moment while another processor may be running its holder: true
// once try_take took it.
template <class TryTake>
bool spin_on_lock(TryTake try_take)
{
    if (!detail::spinning_may_help())
        return false;
    constexpr int kRelaxesPerTry = 4;
    const auto until = std::chrono::steady_clock::now() + detail::kLockSpinBudget;
    do {
        for (int i = 0; i < kRelaxesPerTry; ++i)
            detail::cpu_relax();
        if (try_take())
            return true;
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

}  // namespace

#if defined(_WIN32)
void BriefMutex::lock_contended()
{
    if (!spin_on_lock([this] { return mutex_.try_lock(); }))
        mutex_.lock();
}
#else
void BriefMutex::lock_contended()
{
    const auto take_if_free = [this] {
        return state_.load(std::memory_order_relaxed) == kFree && try_lock();
    };
    if (spin_on_lock(take_if_free))
        return;
    // From here on the word says kSleepers whenever this thread may sleep, so the holder's
    // unlock wakes it; a thread that takes the lock this way leaves kSleepers behind, which
    // costs at worst one needless wake-up.
    while (state_.exchange(kSleepers, std::memory_order_acquire) != kFree)
        detail::address_wait(&state_, kSleepers);
}

void BriefMutex::wake_one()
{
    detail::address_wake_one(&state_);
}
#endif

}  // namespace kerval::platform
