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

bool spinning_may_help()
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

void BriefMutex::lock_contended()
{
    if (detail::spinning_may_help()) {
        constexpr int kRelaxesPerTry = 4;
        const auto until = std::chrono::steady_clock::now() + detail::kLockSpinBudget;
        do {
            for (int i = 0; i < kRelaxesPerTry; ++i)
                detail::cpu_relax();
            if (mutex_.try_lock())
                return;
        } while (std::chrono::steady_clock::now() < until);
    }
    mutex_.lock();
}

}  // namespace kerval::platform
