// Helpers of the mailbox and task tests: waits, box counters, texts, life signs, test tasks.
#pragma once

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

// One counter of a box (queued, readers_waiting, writers_waiting); 0 for no box.
inline uint32_t CountIn(int32_t hBox, uint32_t kerval::mailbox::BoxCore::*counter)
{
    uint32_t gen = 0;
    kerval::mailbox::BoxCore* box = kerval::mailbox::FindCore(hBox, &gen);
    if (box == nullptr)
        return 0;
    std::lock_guard guard(box->lock);
    return box->*counter;
}

inline int32_t WriteText(int32_t hBox, const char* text, int32_t lType = 1, int32_t lExtra = 0)
{
    return WriteMailBox(0, hBox, lType, text, static_cast<uint32_t>(std::strlen(text) + 1), lExtra);
}

// The text of the next message of a box, or "" when the read fails.
inline std::string ReadText(int32_t hBox)
{
    char buf[32] = {};
    uint32_t size = 0;
    const int32_t code = ReadMailBox(hBox, nullptr, buf, &size, sizeof buf, 0, nullptr, nullptr);
    return code == eOK ? buf : "";
}

// The year of a task's life sign (0 once cleared), shared with the task's own thread.
inline std::atomic_ref<int16_t> LifeSignYear(int32_t hTask)
{
    TaskDescript& rec = _pxSysDescript->pxTaskTab[_pxSysDescript->pxObjectTab[hTask].nIndex];
    return std::atomic_ref<int16_t>(rec.xLifeSign.nYear);
}

// Deletes the tasks a test created (not INITJOB nor "_" ones): no ended thread left unjoined.
inline void DeleteTestTasks()
{
    if (_pxSysDescript == nullptr) return;
    for (int32_t h = 1; h < _pxSysDescript->nNbObject; ++h) {
        if (ObjectExist(h) != TASK_OBJECT || NameFromObject(h)[0] == '_') continue;
        CaptureStdoutOf([h] { DeleteTask(h); });
    }
}

// Gives the application a date if it has none yet: life signs copy it and stay zero without one.
inline void EnsureAppDate()
{
    std::atomic_ref<int16_t> year(_pxSysDescript->xAppDate.nYear);
    if (year.load() == 0)
        year.store(2026);
}

// The library started, and the tasks of the test deleted at its end.
class TaskTest : public KervalTest {
protected:
    void TearDown() override { DeleteTestTasks(); }
};

}  // namespace kvtest
