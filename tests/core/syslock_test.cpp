// The system lock: recursion, priority while held, and exclusion of every other thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kerval/core/core.h"
#include "kerval/platform/platform.h"
#include "tests/support/fixtures.h"

namespace {

using kerval::core::FreeSysSem;
using kerval::core::TakeSysSem;
namespace platform = kerval::platform;

class SysLockTest : public kvtest::KervalTest {};

TEST_F(SysLockTest, RecursiveHoldRaisesPriorityUntilLastRelease)
{
    kerval::platform::Thread* self = platform::thread_adopt_current();
    platform::thread_set_priority(self, platform::kPrioBelowNormal);
    const SysDescript* sys = _pxSysDescript;
    TakeSysSem();
    TakeSysSem();
    EXPECT_EQ(sys->hSysSemOwner, 0);
    EXPECT_EQ(sys->nSysSemDepth, 2);
    EXPECT_EQ(sys->lSysSemPriority, platform::kPrioBelowNormal);
    FreeSysSem();
    EXPECT_EQ(sys->nSysSemDepth, 1);
    EXPECT_EQ(platform::thread_get_priority(self), platform::kPrioTimeCritical);
    FreeSysSem();
    EXPECT_EQ(sys->hSysSemOwner, -1);
    EXPECT_EQ(sys->nSysSemDepth, 0);
    EXPECT_EQ(platform::thread_get_priority(self), platform::kPrioBelowNormal);
}

TEST_F(SysLockTest, ThreadThatIsNoTaskIsExcludedWhileAnotherHolds)
{
    std::atomic<bool> held{false}, release{false}, entered{false};
    auto wait_for = [](const std::atomic<bool>& flag) {
        while (!flag)
            platform::sleep_ms(1);
    };
    std::thread holder([&] {  // not a task: its handle is -1 like a free lock's owner
        TakeSysSem();
        held = true;
        wait_for(release);
        FreeSysSem();
    });
    wait_for(held);
    std::thread other([&] {
        TakeSysSem();
        entered = true;
        FreeSysSem();
    });
    platform::sleep_ms(50);
    FreeSysSem();  // not the holder: changes nothing
    EXPECT_EQ(_pxSysDescript->nSysSemDepth, 1);
    platform::sleep_ms(20);
    EXPECT_FALSE(entered);
    release = true;
    holder.join();
    other.join();
    EXPECT_TRUE(entered);
    EXPECT_EQ(_pxSysDescript->hSysSemOwner, -1);
}

}  // namespace
