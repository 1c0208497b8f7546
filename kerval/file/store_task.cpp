// The store task: reads "_STORE_BOX" forever and performs each request in arrival order. It
// never answers its senders; failures only reach the trace output, naming the sending task.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "kerval/core/alloc.h"
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

// A text field of a request, cut at its end when the sender left no terminator.
template <size_t N>
struct Field {
    explicit Field(const char (&field)[N])
    {
        const size_t length = strnlen(field, N);
        std::memcpy(text, field, length);
        text[length] = '\0';
    }
    char text[N + 1];
};

// An object name as the key of the queued counts (cut to the longest name).
struct QueuedName {
    explicit QueuedName(const char* name)
    {
        const size_t length = strnlen(name, KV_NAME_MAX);
        std::memcpy(text, name, length);
        text[length] = '\0';
    }
    bool operator==(const QueuedName& other) const { return std::strcmp(text, other.text) == 0; }
    core::ObjectName text;
};
struct QueuedNameHash {
    size_t operator()(const QueuedName& name) const
    {
        return std::hash<std::string_view>()(name.text);
    }
};

template <class Key, class Value, class Hash = std::hash<Key>>
using Map = std::unordered_map<Key, Value, Hash, std::equal_to<>,
                               core::Allocator<std::pair<const Key, Value>>>;

// Requests queued per object name. Guarded by g_queued_lock.
platform::GuardedMutex g_queued_lock;
Map<QueuedName, int32_t, QueuedNameHash> g_queued;

// Markers waited for, by number; the store task releases the waiter's semaphore under the
// lock, and the waiter removes its entry under it before destroying the semaphore.
platform::GuardedMutex g_marker_lock;
Map<uint64_t, platform::Semaphore*> g_markers;
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

void PerformWrite(const StoreWriteRequest& rq, const char* sender)
{
    const Field name(rq.szName);
    const int32_t code = rq.lCount > kStoreChunk
                             ? eINVALID_PARAM
                             : StoreWrite(FindObjectMirror(name.text), rq.lOffset, rq.lOrigin,
                                          rq.data, rq.lCount, rq.bFlush);
    if (code != eOK) {
        Trace("%s : Error Writing in file object %s (Request from task %s) !\n", kStoreProc,
              name.text, sender);
    }
    CountPerformed(name.text);
}

void PerformOpen(const StoreOpenRequest& rq, const char* sender)
{
    const Field name(rq.szName);
    const Field path(rq.szPath);
    const Field mode(rq.szMode);
    const bool fits = std::strlen(path.text) <= kRequestPathMax && ModeAccepted(mode.text);
    if (!fits || OpenObject(name.text, path.text, mode.text, nullptr) != eOK) {
        Trace("%s : Error Opening file %s (%s) (Request from task %s) !\n", kStoreProc, name.text,
              path.text, sender);
    }
    CountPerformed(name.text);
}

void PerformClose(const StoreOpenRequest& rq, const char* sender)
{
    const Field name(rq.szName);
    if (CloseObject(FindObjectMirror(name.text), 1) != eOK) {
        Trace("%s : Error Closing file %s (Request from task %s) !\n", kStoreProc, name.text,
              sender);
    }
    CountPerformed(name.text);
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
    core::ObjectName sender;  // the sender may go meanwhile
    const char* name = NameFromObject(hSender);
    const size_t length = strnlen(name, KV_NAME_MAX);
    std::memcpy(sender, name, length);
    sender[length] = '\0';
    if (lType == kStoreWrite && lSize >= sizeof rq.write) {
        PerformWrite(rq.write, sender);
    } else if (lType == kStoreOpen && lSize >= sizeof rq.open) {
        PerformOpen(rq.open, sender);
    } else if (lType == kStoreClose && lSize >= sizeof rq.open.szName) {
        PerformClose(rq.open, sender);
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

bool CountPosted(const char* name)
{
    std::lock_guard guard(g_queued_lock);
    return core::Grown([&] { ++g_queued[QueuedName(name)]; });
}

void CountPerformed(const char* name)
{
    std::lock_guard guard(g_queued_lock);
    const auto found = g_queued.find(QueuedName(name));
    if (found != g_queued.end() && --found->second <= 0)
        g_queued.erase(found);
}

bool HasQueuedRequests(const char* name)
{
    std::lock_guard guard(g_queued_lock);
    return g_queued.count(QueuedName(name)) != 0;
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
    platform::Semaphore* reached = core::NewSemaphore(0, 1);
    if (reached == nullptr)
        return eNOK;
    uint64_t number = 0;
    bool added = false;
    {
        std::lock_guard guard(g_marker_lock);
        number = ++g_next_marker;
        added = core::Grown([&] { g_markers[number] = reached; });
    }
    if (!added) {
        platform::semaphore_destroy(reached);
        return eNOK;
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
