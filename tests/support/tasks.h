// Helpers of the tests that run tasks.
#pragma once

#include "kerval/core/core.h"
#include "kerval/mailbox/box_core.h"
#include "kerval/sync/sync_core.h"
#include "kerval/task/task.h"
#include "tests/support/fixtures.h"

namespace kvtest {

using kerval::mailbox::BoxCore;

// One counter of a box (queued, readers_waiting, writers_waiting); 0 for no box.
inline uint32_t CountIn(int32_t hBox, uint32_t BoxCore::*counter) {
    uint32_t gen = 0;
    BoxCore* box = kerval::mailbox::FindCore(hBox, &gen);
    if (box == nullptr) return 0;
    std::lock_guard guard(box->lock);
    return box->*counter;
}

inline int32_t WriteText(int32_t hBox, const char* text, int32_t lType = 1, int32_t lExtra = 0) {
    return WriteMailBox(0, hBox, lType, text, static_cast<uint32_t>(std::strlen(text) + 1), lExtra);
}

inline std::string ReadText(int32_t hBox) {
    char buf[32] = {};
    uint32_t size = 0;
    const int32_t code = ReadMailBox(hBox, nullptr, buf, &size, sizeof buf, 0, nullptr, nullptr);
    return code == eOK ? buf : "";
}

inline TaskDescript& TaskRecordOf(int32_t hTask) {
    return _pxSysDescript->pxTaskTab[_pxSysDescript->pxObjectTab[hTask].nIndex];
}

// The year of a task's life sign (0 once cleared), shared with the task's own thread.
inline std::atomic_ref<int16_t> LifeSignYear(int32_t hTask) {
    return std::atomic_ref<int16_t>(TaskRecordOf(hTask).xLifeSign.nYear);
}

// Gives the application a date if it has none yet: life signs copy it and stay zero without one.
inline void EnsureAppDate() {
    std::atomic_ref<int16_t> year(_pxSysDescript->xAppDate.nYear);
    if (year.load() == 0) year.store(2026);
}

// Deletes the tasks a test created (not INITJOB nor "_" ones): no ended thread left unjoined.
inline void DeleteTestTasks() {
    for (int32_t h = 1; _pxSysDescript != nullptr && h < _pxSysDescript->nNbObject; ++h) {
        if (ObjectExist(h) == TASK_OBJECT && NameFromObject(h)[0] != '_')
            CaptureStdoutOf([h] { DeleteTask(h); });
    }
}

struct TaskTest : KervalTest {
    void TearDown() override { DeleteTestTasks(); }
};

// Starts a task running fn, which lives on as its task may be deleted before it returns.
inline int32_t StartTask(const char* name, std::function<void()> fn, int32_t priority = 0) {
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

// A semaphore's queue, head first; -2 marks a wrong tail, -3 a waiting count off the chain.
inline std::vector<int32_t> QueueOf(int32_t hSem) {
    uint32_t gen = 0;
    kerval::sync::SyncCore* c = kerval::sync::FindCore(hSem, kerval::sync::Kind::kSem, &gen);
    std::vector<int32_t> tasks;
    if (c == nullptr) return tasks;
    std::lock_guard guard(c->lock);
    const SemDescript& rec = *c->sem;
    for (int16_t i = rec.nHead; i != -1; i = rec.ptsNextChain[i]) {
        const auto index = rec.ptWaitingTask[i].pTask - _pxSysDescript->pxTaskTab;
        tasks.push_back(kerval::core::HandleFromIndex(static_cast<int32_t>(index), TASK_OBJECT));
        if (rec.ptsNextChain[i] == -1 && rec.nTail != i) tasks.push_back(-2);
    }
    if (tasks.size() != rec.nNbWaiting) tasks.push_back(-3);
    return tasks;
}

inline bool QueueBecomes(int32_t hSem, const std::vector<int32_t>& tasks) {
    return WaitFor([&] { return QueueOf(hSem) == tasks; });
}

inline uint16_t CountOf(int32_t hSem) {
    uint16_t n = 0;
    InfoSem(hSem, &n);
    return n;
}

}  // namespace kvtest
