// The thread time report: processor time of every task, as lines or as a table sorted on demand.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::task {

namespace {

constexpr uint64_t k100nsPerMs = 10000;

bool ReportPossible()
{
    const SysDescript* sys = core::Sys();
    return sys != nullptr && sys->nNbObject >= 1;
}

// One task's line. Caller holds the system lock, so the task's thread cannot be freed meanwhile.
InfoThread LineOf(int32_t index, TaskDescript& rec)
{
    InfoThread line{};
    const int32_t hTask = core::HandleFromIndex(index, TASK_OBJECT);
    std::snprintf(line.szName, sizeof line.szName, "%s", NameFromObject(hTask));
    line.lThreadId = static_cast<int32_t>(std::atomic_ref(rec.lThreadId).load());
    auto* thread = static_cast<platform::Thread*>(std::atomic_ref(rec.hThread).load());
    uint64_t kernel = 0;
    uint64_t user = 0;
    // A thread whose times cannot be read shows zero.
    if (thread != nullptr && thread != KV_INVALID_HANDLE)
        platform::thread_times(thread, &kernel, &user);
    line.lKernelMs = static_cast<uint32_t>(kernel / k100nsPerMs);
    line.lUserMs = static_cast<uint32_t>(user / k100nsPerMs);
    return line;
}

// Calls visit(line) for every task in table order, under the system lock: tasks created or
// deleted meanwhile are either whole in the report or absent.
template <class Visit>
void ForEachTaskLine(Visit visit)
{
    core::SysLock lock;
    SysDescript* sys = core::Sys();
    for (int32_t i = 0; i < sys->nNbTask; ++i) {
        TaskDescript& rec = sys->pxTaskTab[i];
        if (std::atomic_ref(rec.bUsed).load() == 1)
            visit(LineOf(i, rec));
    }
}

void GetInfoThread(ElementListe** ppList)
{
    ForEachTaskLine([&](const InfoThread& line) { AjoutApresListe(ppList, &line, sizeof line); });
}

const InfoThread& LineIn(const void* data)
{
    return *static_cast<const InfoThread*>(data);
}

uint8_t ByKernel(void* a, void* b)
{
    return LineIn(a).lKernelMs >= LineIn(b).lKernelMs ? 1 : 0;
}
uint8_t ByUser(void* a, void* b)
{
    return LineIn(a).lUserMs >= LineIn(b).lUserMs ? 1 : 0;
}
uint8_t ByName(void* a, void* b)
{
    return std::strcmp(LineIn(a).szName, LineIn(b).szName) >= 0 ? 1 : 0;
}
uint8_t ById(void* a, void* b)
{
    return LineIn(a).lThreadId >= LineIn(b).lThreadId ? 1 : 0;
}

PFN_COMPARE OrderOf(int order)
{
    switch (order) {
        case 2:
            return ByKernel;
        case 3:
            return ByUser;
        case 4:
            return ByName;
        case 5:
            return ById;
        default:
            return nullptr;
    }
}

// Appends formatted text to a fixed buffer, never past its end.
class TextBuffer {
public:
    TextBuffer(char* buffer, size_t size) : buffer_(buffer), size_(size) { buffer_[0] = '\0'; }

    template <class... Args>
    void Append(const char* format, Args... args)
    {
        if (used_ + 1 >= size_)
            return;
        const int n = std::snprintf(buffer_ + used_, size_ - used_, format, args...);
        if (n > 0)
            used_ = std::min(size_ - 1, used_ + static_cast<size_t>(n));
    }

private:
    char* buffer_;
    size_t size_;
    size_t used_ = 0;
};

void PrintTable(const ElementListe* list, char* buffer, size_t size)
{
    TextBuffer text(buffer, size);
    text.Append("%30.30s\t\tID\tKERNEL-Time(ms)\tUSER-Time(ms)\n", "NAME");
    for (const ElementListe* e = list; e != nullptr; e = e->pNext) {
        const InfoThread& line = LineIn(e->pData);
        text.Append("%30.30s", line.szName);
        text.Append("\t\t%d\t\t%u\t\t%u\n", line.lThreadId, line.lKernelMs, line.lUserMs);
    }
    std::fputs(buffer, stdout);
    std::fflush(stdout);
}

void GlobalInfoThread(int order)
{
    const size_t size = 128U * static_cast<size_t>(core::Sys()->nNbTask);
    auto* buffer = static_cast<char*>(core::Alloc(size));
    if (buffer == nullptr) {
        std::printf("GlobalInfoThread() : not enough memory !\n");
        return;
    }
    ElementListe* lines = nullptr;
    GetInfoThread(&lines);
    const PFN_COMPARE compare = OrderOf(order);
    ElementListe* sorted = compare != nullptr ? TriListe(lines, compare) : nullptr;
    PrintTable(compare != nullptr ? sorted : lines, buffer, size);
    FreeListe(&sorted);
    FreeListe(&lines);
    core::Free(buffer);
}

void PrintMenu()
{
    std::fputs(" 0.Quit     \t\t\t\t\t\t\n", stdout);
    std::fputs(" 1.SANS Tri\t\t\t\t\t\t\t\n", stdout);
    std::fputs(" 2.Tri par KERNEL Time\t\t\t\t\n", stdout);
    std::fputs(" 3.Tri par USER Time\t\t\t\t\n", stdout);
    std::fputs(" 4.Tri par NAME\t\t\t\t\t\t\n", stdout);
    std::fputs(" 5.Tri par ID\t\t\t\t\t\t\n", stdout);
    std::fflush(stdout);
}

}  // namespace

}  // namespace kerval::task

using namespace kerval;

extern "C" KV_API void DisplayInfoThread(void)
{
    if (!task::ReportPossible())
        return;
    task::ForEachTaskLine([](const InfoThread& line) {
        std::printf("Task=<%30.30s>; Id=<%05d>; KernelTime=<%09lu> ms; UserTime=<%09lu> ms;\n",
                    line.szName, line.lThreadId, static_cast<unsigned long>(line.lKernelMs),
                    static_cast<unsigned long>(line.lUserMs));
    });
    std::fflush(stdout);
}

extern "C" KV_API int32_t PrintInfoThread(void)
{
    if (!task::ReportPossible())
        return 0;
    for (;;) {
        task::PrintMenu();
        const int16_t choice = InputMenuChoice();
        if (choice == 0)
            return 0;
        if (choice >= 1 && choice <= 5)
            task::GlobalInfoThread(choice);
    }
}
