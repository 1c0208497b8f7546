// Cost of one tick's pass over 10,000 running tempos, against a plain loop over as many
// records (none due) and against WriteMailBox of the same 4172-byte message (all due); and the
// cost of creating a tempo next to 10 and next to 10,000 others. The pass is internal: this
// program links the static library and calls it directly, with no timer running.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kerval/kerval.h"
#include "kerval/tempo/tempo_internal.h"

namespace {

constexpr int kTempos = 10000;
int32_t g_box = -1;
std::vector<int32_t> g_tempos;

void StartOnce()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    static InitOptions options{0, 20, 20, 16, kTempos + 10, 5, 5, 5, 5, 0};
    if (InitKerval(&options) != eOK || CreateMailBox("BENCH_BOX", 65000, &g_box) != eOK)
        std::abort();
    std::printf("\n");
}

// Brings the table to n tempos, every one running with the given delay from now on.
void EnsureTempos(int n, uint32_t delay)
{
    StartOnce();
    while (static_cast<int>(g_tempos.size()) < n) {
        const std::string name = "FILLER_" + std::to_string(g_tempos.size());
        int32_t h = -1;
        if (CreateActiveTempo(name.c_str(), TEMPO_DELAY, nullptr, delay, 0, g_box, &h) != eOK)
            std::abort();
        g_tempos.push_back(h);
    }
    while (static_cast<int>(g_tempos.size()) > n) {
        DeleteTempo(g_tempos.back());
        g_tempos.pop_back();
    }
    for (int32_t h : g_tempos) {
        ChangeTempoDelay(h, delay);
        ReactivateTempo(h);
    }
}

void Drain()
{
    static TempoMsg msg;
    uint32_t size = 0;
    while (ReadMailBox(g_box, nullptr, &msg, &size, sizeof msg, 0, nullptr, nullptr) == eOK) {
    }
}

// What the pass does at least for a running delay tempo that is not due.
void BM_PlainLoop(benchmark::State& state)
{
    std::vector<TempoDescript> records(kTempos);
    for (TempoDescript& r : records) {
        r.bActive = 1;
        r.lRest = 2000000000;
    }
    for (auto _ : state) {
        for (TempoDescript& r : records) {
            if (r.bActive == 0)
                continue;
            r.lRest -= TEMPO_TICK_MS;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kTempos);
}
BENCHMARK(BM_PlainLoop);

void BM_TickPassNoneDue(benchmark::State& state)
{
    EnsureTempos(kTempos, 4000000000u);
    for (auto _ : state)
        kerval::tempo::RunPass();
    state.SetItemsProcessed(state.iterations() * kTempos);
}
BENCHMARK(BM_TickPassNoneDue);

// Per item: one expiry's wake-up message.
void BM_TickPassAllDue(benchmark::State& state)
{
    EnsureTempos(kTempos, TEMPO_TICK_MS);
    Drain();
    for (auto _ : state) {
        kerval::tempo::RunPass();
        state.PauseTiming();
        Drain();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kTempos);
}
BENCHMARK(BM_TickPassAllDue)->Unit(benchmark::kMillisecond);

// Per item: one WriteMailBox of a 4172-byte message.
void BM_WriteMailBox4172(benchmark::State& state)
{
    EnsureTempos(0, 0);
    static TempoMsg msg{};
    for (auto _ : state) {
        for (int i = 0; i < kTempos; ++i)
            WriteMailBox(-1, g_box, MSG_TYPE_TEMPO, &msg, sizeof msg, -1);
        state.PauseTiming();
        Drain();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kTempos);
}
BENCHMARK(BM_WriteMailBox4172)->Unit(benchmark::kMillisecond);

// Creating (and deleting) one tempo with arg - 1 others in the table.
void BM_CreateDeleteTempo(benchmark::State& state)
{
    EnsureTempos(static_cast<int>(state.range(0)) - 1, 1000);
    for (auto _ : state) {
        int32_t h = -1;
        CreateActiveTempo("BENCH_TEMPO", TEMPO_DELAY, nullptr, 1000, 0, g_box, &h);
        DeleteTempo(h);
    }
}
BENCHMARK(BM_CreateDeleteTempo)->Arg(10)->Arg(kTempos);

}  // namespace
