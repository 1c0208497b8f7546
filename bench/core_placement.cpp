// Cost of placing, deleting and finding objects with few and with many objects in the table.
// The library starts once with about 32,000 object slots; each benchmark brings the table to
// its argument's number of objects (half registered in MirrorTab, half not) before measuring.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"

namespace {

using namespace kerval::core;

std::vector<int32_t> g_fillers;

void StartOnce()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    static InitOptions options{0, 20, 20, 16000, 60, 5, 5, 5, 16000, 0};
    if (InitKerval(&options) != eOK)
        std::abort();
    std::printf("\n");
}

int32_t Create(int32_t type, const char* name)
{
    int32_t handle = -1;
    CreateObject(type, name, &handle, [type](int32_t, int32_t index, const char*) {
        *TableOf(Sys(), type).UsedFlag(index) = 1;
        return static_cast<int32_t>(eOK);
    });
    return handle;
}

void Delete(int32_t handle)
{
    SysLock lock;
    ReleaseObject(handle);
}

// Brings the table to `objects` objects in use (INITJOB included).
void EnsureObjects(int64_t objects)
{
    StartOnce();
    while (static_cast<int64_t>(g_fillers.size()) + 1 < objects) {
        const int32_t type = g_fillers.size() % 2 == 0 ? SEM_OBJECT : SHARE_OBJECT;
        const std::string name = "FILLER_" + std::to_string(g_fillers.size());
        const int32_t handle = Create(type, name.c_str());
        if (handle < 0)
            std::abort();
        g_fillers.push_back(handle);
    }
    while (static_cast<int64_t>(g_fillers.size()) + 1 > objects) {
        Delete(g_fillers.back());
        g_fillers.pop_back();
    }
}

// Create and delete one registered object; its name is reused, so its MirrorTab entry is
// overwritten, not inserted (a new name shifts the sorted array: that part stays linear).
void BM_CreateDelete(benchmark::State& state)
{
    EnsureObjects(state.range(0));
    for (auto _ : state) {
        const int32_t handle = Create(SEM_OBJECT, "BENCH_OBJECT");
        Delete(handle);
    }
}
BENCHMARK(BM_CreateDelete)->Arg(10)->Arg(30000);

// The name check and placement search of a creation (reserves nothing). The system lock is
// held around the loop, as a creating operation holds it, so the inner take is only a depth
// count and the priority changes of a first take (system calls) stay out of the figure.
void BM_CanCreateObject(benchmark::State& state)
{
    EnsureObjects(state.range(0));
    int32_t handle = -1;
    int32_t index = -1;
    SysLock held;
    for (auto _ : state) {
        benchmark::DoNotOptimize(CanCreateObject(SHARE_OBJECT, "FRESH_NAME", &handle, &index));
    }
}
BENCHMARK(BM_CanCreateObject)->Arg(10)->Arg(30000);

// Look-up of a registered name (MirrorTab), of an unregistered one (object table) and of a
// name no object has.
void BM_FindObjectMirror(benchmark::State& state)
{
    EnsureObjects(state.range(0));
    const std::string last = "FILLER_" + std::to_string(g_fillers.size() - 1);
    const std::string before = "FILLER_" + std::to_string(g_fillers.size() - 2);
    const char* names[] = {last.c_str(), before.c_str(), "NO_SUCH_OBJECT"};
    for (auto _ : state) {
        for (const char* name : names)
            benchmark::DoNotOptimize(FindObjectMirror(name));
    }
    state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(BM_FindObjectMirror)->Arg(10)->Arg(30000);

}  // namespace
