// Helpers of the mailbox tests: waiting for a condition with a generous limit, and the number of
// messages a box holds, read under the box's own lock.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "kerval/kerval.h"
#include "kerval/mailbox/box_core.h"
#include "tests/support/fixtures.h"

namespace kvtest {

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline uint32_t QueuedIn(int32_t hBox)
{
    uint32_t gen = 0;
    kerval::mailbox::BoxCore* box = kerval::mailbox::FindCore(hBox, &gen);
    if (box == nullptr)
        return 0;
    std::lock_guard guard(box->lock);
    return box->queued;
}

inline uint32_t WritersWaitingIn(int32_t hBox)
{
    uint32_t gen = 0;
    kerval::mailbox::BoxCore* box = kerval::mailbox::FindCore(hBox, &gen);
    if (box == nullptr)
        return 0;
    std::lock_guard guard(box->lock);
    return box->writers_waiting;
}

inline uint32_t ReadersWaitingIn(int32_t hBox)
{
    uint32_t gen = 0;
    kerval::mailbox::BoxCore* box = kerval::mailbox::FindCore(hBox, &gen);
    if (box == nullptr)
        return 0;
    std::lock_guard guard(box->lock);
    return box->readers_waiting;
}

inline int32_t WriteText(int32_t hBox, const char* text, int32_t lType = 1, int32_t lExtra = 0)
{
    return WriteMailBox(0, hBox, lType, text, static_cast<uint32_t>(std::strlen(text) + 1), lExtra);
}

// Deletes every task a test created (not INITJOB nor the library's own "_" tasks), so that no
// ended thread is left unjoined when the process ends.
inline void DeleteTestTasks()
{
    if (_pxSysDescript == nullptr) return;
    for (int32_t h = 1; h < _pxSysDescript->nNbObject; ++h) {
        if (ObjectExist(h) != TASK_OBJECT || NameFromObject(h)[0] == '_') continue;
        CaptureStdoutOf([h] { DeleteTask(h); });
    }
}

// The library started, and the tasks of the test deleted at its end.
class TaskTest : public KervalTest {
protected:
    void TearDown() override { DeleteTestTasks(); }
};

}  // namespace kvtest
