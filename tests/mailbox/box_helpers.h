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

}  // namespace kvtest
