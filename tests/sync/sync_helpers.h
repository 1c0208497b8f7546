// Synchronisation test helpers: tasks running a lambda, a semaphore's queue and count.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kerval/core/core.h"
#include "kerval/sync/sync_core.h"
#include "tests/mailbox/box_helpers.h"

namespace kvtest {

// Starts a task running fn, which lives on as its task may be deleted before it returns.
inline int32_t StartTask(const char* name, std::function<void()> fn, int32_t priority = 0)
{
    static std::mutex lock;
    static std::vector<std::unique_ptr<std::function<void()>>> functions;
    std::unique_lock guard(lock);
    auto* copy = functions.emplace_back(new std::function<void()>(std::move(fn))).get();
    guard.unlock();
    const PFN_TASK run = [](void*) -> uint32_t {
        std::function<void()>* f = nullptr;
        RecoverTaskParam(kerval::core::CurrentTaskHandle(), &f, sizeof f);
        (*f)();
        return 0;
    };
    int32_t h = -1;
    CaptureStdoutOf([&] { CreateTask(name, priority, run, &copy, sizeof copy, 0, &h); });
    return h;
}

// The tasks queued on a counting semaphore, head first; -2 marks a tail that does not name the
// last entry, -3 a waiting count that disagrees with the chain.
inline std::vector<int32_t> QueueOf(int32_t hSem)
{
    uint32_t gen = 0;
    kerval::sync::SyncCore* c = kerval::sync::FindCore(hSem, kerval::sync::Kind::kSem, &gen);
    std::vector<int32_t> tasks;
    if (c == nullptr)
        return tasks;
    std::lock_guard guard(c->lock);
    const SemDescript& rec = *c->sem;
    for (int16_t i = rec.nHead; i != -1; i = rec.ptsNextChain[i]) {
        const auto index = rec.ptWaitingTask[i].pTask - _pxSysDescript->pxTaskTab;
        tasks.push_back(kerval::core::HandleFromIndex(static_cast<int32_t>(index), TASK_OBJECT));
        if (rec.ptsNextChain[i] == -1 && rec.nTail != i)
            tasks.push_back(-2);
    }
    if (tasks.size() != rec.nNbWaiting)
        tasks.push_back(-3);
    return tasks;
}

inline bool QueueBecomes(int32_t hSem, const std::vector<int32_t>& tasks)
{
    return WaitFor([&] { return QueueOf(hSem) == tasks; });
}

inline uint16_t CountOf(int32_t hSem)
{
    uint16_t n = 0;
    InfoSem(hSem, &n);
    return n;
}

}  // namespace kvtest
