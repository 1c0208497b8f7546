// The system lock: recursion, priority while held, and exclusion of every other thread.
#include "tests/support/tasks.h"

namespace {

using kerval::core::FreeSysSem;
using kerval::core::TakeSysSem;
using SysLockTest = KervalTest;

std::vector<int32_t> LockState(kp::Thread* self) {
    return {_pxSysDescript->hSysSemOwner, _pxSysDescript->nSysSemDepth,
            kp::thread_get_priority(self)};
}

TEST_F(SysLockTest, RecursiveHoldRaisesPriorityUntilLastRelease) {
    kp::Thread* self = kp::thread_adopt_current();
    kp::thread_set_priority(self, kp::kPrioBelowNormal);
    TakeSysSem();
    TakeSysSem();
    EXPECT_EQ(_pxSysDescript->lSysSemPriority, kp::kPrioBelowNormal);
    EXPECT_EQ(LockState(self), (std::vector<int32_t>{0, 2, kp::kPrioTimeCritical}));
    FreeSysSem();
    EXPECT_EQ(LockState(self), (std::vector<int32_t>{0, 1, kp::kPrioTimeCritical}));
    FreeSysSem();
    EXPECT_EQ(LockState(self), (std::vector<int32_t>{-1, 0, kp::kPrioBelowNormal}));
}

TEST_F(SysLockTest, ThreadThatIsNoTaskIsExcludedWhileAnotherHolds) {
    std::atomic<bool> held{false}, release{false}, entered{false};
    std::thread holder([&] {  // not a task: its handle is -1 like a free lock's owner
        TakeSysSem();
        held = true;
        WaitFor([&] { return release.load(); });
        FreeSysSem();
    });
    ASSERT_TRUE(WaitFor([&] { return held.load(); }));
    std::thread other([&] { TakeSysSem(), entered = true, FreeSysSem(); });
    kp::sleep_ms(50);
    FreeSysSem();  // not the holder: changes nothing
    EXPECT_EQ(_pxSysDescript->nSysSemDepth, 1);
    kp::sleep_ms(20);
    EXPECT_FALSE(entered);
    release = true;
    holder.join();
    other.join();
    EXPECT_TRUE(entered);
    EXPECT_EQ(_pxSysDescript->hSysSemOwner, -1);
}

}  // namespace
