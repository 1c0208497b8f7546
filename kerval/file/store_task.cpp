// The store task: reads "_STORE_BOX" forever and performs each request in arrival order. It
// never answers its senders; failures only reach the trace output, naming the sending task.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kerval/core/core.h"
#include "kerval/file/bin_file.h"
#include "kerval/file/store_requests.h"
#include "kerval/file/store_service.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"
#include "kerval/task/task.h"

namespace kerval::file {
namespace {

constexpr const char* kStoreProc = "KERVAL-StoreTaskFunction";
constexpr int32_t kStorePriority = platform::kPrioLowest;

thread_local bool t_in_store_task = false;

// Requests queued per object name. Guarded by g_queued_lock.
platform::GuardedMutex g_queued_lock;
std::unordered_map<std::string, int32_t> g_queued;

// Markers waited for, by number; the store task releases the waiter's semaphore under the
// lock, and the waiter removes its entry under it before destroying the semaphore.
platform::GuardedMutex g_marker_lock;
std::unordered_map<uint64_t, platform::Semaphore*> g_markers;
uint64_t g_next_marker = 0;

// Released by the store task once its box is open (or could not be): StartService waits on it.
std::atomic<platform::Semaphore*> g_started{nullptr};

void Trace(const char* format, const char* a, const char* b, const char* c = nullptr,
           const char* d = nullptr)
{
    char text[1024];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    DisplayTraceDebug(text, 1);
}

// A text field of a request, cut at its end when the sender left no terminator.
template <size_t N>
std::string Field(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

void PerformWrite(const StoreWriteRequest& rq, const char* sender)
{
    const std::string name = Field(rq.szName);
    const int32_t code = rq.lCount > kStoreChunk
                             ? eINVALID_PARAM
                             : StoreWrite(FindObjectMirror(name.c_str()), rq.lOffset, rq.lOrigin,
                                          rq.data, rq.lCount, rq.bFlush);
    if (code != eOK) {
        Trace("%s : Error Writing in file object %s (Request from task %s) !\n", kStoreProc,
              name.c_str(), sender);
    }
    CountPerformed(name);
}

void PerformOpen(const StoreOpenRequest& rq, const char* sender)
{
    const std::string name = Field(rq.szName);
    const std::string path = Field(rq.szPath);
    const std::string mode = Field(rq.szMode);
    const bool fits = path.size() <= kRequestPathMax && ModeAccepted(mode.c_str());
    if (!fits || OpenObject(name.c_str(), path.c_str(), mode.c_str(), nullptr) != eOK) {
        Trace("%s : Error Opening file %s (%s) (Request from task %s) !\n", kStoreProc,
              name.c_str(), path.c_str(), sender);
    }
    CountPerformed(name);
}

void PerformClose(const StoreOpenRequest& rq, const char* sender)
{
    const std::string name = Field(rq.szName);
    if (CloseObject(FindObjectMirror(name.c_str()), 1) != eOK) {
        Trace("%s : Error Closing file %s (Request from task %s) !\n", kStoreProc, name.c_str(),
              sender);
    }
    CountPerformed(name);
}

void SignalMarker(uint64_t number)
{
    std::lock_guard guard(g_marker_lock);
    const auto found = g_markers.find(number);
    if (found != g_markers.end())
        platform::semaphore_release(found->second, 1, nullptr);
}

union Request {
    StoreWriteRequest write;
    StoreOpenRequest open;
    uint64_t marker;
};

void Perform(int32_t lType, const Request& rq, uint32_t lSize, int32_t hSender)
{
    const std::string sender = NameFromObject(hSender);
    if (lType == kStoreWrite && lSize >= sizeof rq.write) {
        PerformWrite(rq.write, sender.c_str());
    } else if (lType == kStoreOpen && lSize >= sizeof rq.open) {
        PerformOpen(rq.open, sender.c_str());
    } else if (lType == kStoreClose && lSize >= sizeof rq.open.szName) {
        PerformClose(rq.open, sender.c_str());
    } else if (lType == kStoreMarker && lSize == sizeof rq.marker) {
        SignalMarker(rq.marker);
    }
}

// The store box, created by the task; one left by an earlier store task is taken over.
int32_t OpenStoreBox()
{
    int32_t hBox = -1;
    const int32_t code = CreateMailBox(kStoreBoxName, kStoreBoxCapacity, &hBox);
    if (code == eOK)
        return hBox;
    hBox = FindObjectMirror(kStoreBoxName);
    if (code == eOBJECT_EXIST && ObjectExist(hBox) == MAILBOX_OBJECT)
        return hBox;
    ErreurApp(code, kStoreProc, "CreateMailBox( STORE_MAILBOX_NAME) fail\n");
    return -1;
}

void SignalStarted()
{
    if (platform::Semaphore* started = g_started.load())
        platform::semaphore_release(started, 1, nullptr);
}

// The store task still exists and was not suspended (a fatal error suspends every task but the
// user-interface one, which must not wait for it forever).
bool StoreTaskRuns(int32_t hTask)
{
    const TaskDescript* rec = core::TaskRecord(hTask);
    return rec != nullptr && FindObjectMirror(kStoreTaskName) == hTask &&
           std::atomic_ref(const_cast<int32_t&>(rec->bSuspended)).load() == 0;
}

// Waits for a marker (or the start signal) in slices; gives up when a whole slice passed while
// the store task was gone or suspended.
int32_t AwaitStoreTask(platform::Semaphore* signal, int32_t hTask)
{
    for (;;) {
        switch (platform::semaphore_wait(signal, task::WaitSliceMs())) {
            case platform::WaitResult::kSignaled:
                return eOK;
            case platform::WaitResult::kTimeout:
                break;
            default:
                return eNOK;
        }
        UpdateLifeSign();
        if (!StoreTaskRuns(hTask))
            return eNOK;
    }
}

int32_t StoreTaskHandle()
{
    const int32_t hTask = FindObjectMirror(kStoreTaskName);
    return ObjectExist(hTask) == TASK_OBJECT ? hTask : -1;
}

}  // namespace

void CountPosted(const std::string& name)
{
    std::lock_guard guard(g_queued_lock);
    ++g_queued[name];
}

void CountPerformed(const std::string& name)
{
    std::lock_guard guard(g_queued_lock);
    const auto found = g_queued.find(name);
    if (found != g_queued.end() && --found->second <= 0)
        g_queued.erase(found);
}

bool HasQueuedRequests(const std::string& name)
{
    std::lock_guard guard(g_queued_lock);
    return g_queued.count(name) != 0;
}

bool IsStoreTask()
{
    return t_in_store_task;
}

uint32_t StoreTaskFunction(void*)
{
    t_in_store_task = true;
    int32_t hBox = OpenStoreBox();
    SignalStarted();
    Request rq{};
    while (hBox >= 0) {
        int32_t type = 0;
        int32_t sender = -1;
        uint32_t size = 0;
        const int32_t code =
            ReadMailBox(hBox, &type, &rq, &size, sizeof rq.write, WAIT_FOREVER, nullptr, &sender);
        if (code == eOK) {
            Perform(type, rq, size, sender);
        } else if (code == eINVALID_HANDLE) {
            hBox = OpenStoreBox();  // the box was deleted: the service keeps one
        }
    }
    return 0;
}

int32_t StartService()
{
    if (StoreTaskHandle() >= 0)
        return 0;
    platform::Semaphore* started = g_started.load();
    if (started == nullptr) {
        started = platform::semaphore_create(0, 1);  // kept for the process's life
        g_started.store(started);
    }
    int32_t hTask = -1;
    if (CreateTask(kStoreTaskName, kStorePriority, StoreTaskFunction, nullptr, 0,
                   KV_DEFAULT_STACK_SIZE, &hTask) != eOK) {
        return 1;
    }
    if (AwaitStoreTask(started, hTask) != eOK)
        return 1;
    return ObjectExist(FindObjectMirror(kStoreBoxName)) == MAILBOX_OBJECT ? 0 : 1;
}

int32_t WaitForStoreRequests()
{
    const int32_t hTask = StoreTaskHandle();
    if (IsStoreTask() || hTask < 0)
        return eNOK;
    platform::Semaphore* reached = platform::semaphore_create(0, 1);
    if (reached == nullptr)
        return eNOK;
    uint64_t number = 0;
    {
        std::lock_guard guard(g_marker_lock);
        number = ++g_next_marker;
        g_markers[number] = reached;
    }
    int32_t code = WriteMailBox(core::CurrentTaskHandle(), FindObjectMirror(kStoreBoxName),
                                kStoreMarker, &number, sizeof number, -1);
    if (code == eOK)
        code = AwaitStoreTask(reached, hTask);
    {
        std::lock_guard guard(g_marker_lock);
        g_markers.erase(number);
    }
    platform::semaphore_destroy(reached);
    return code;
}

}  // namespace kerval::file
