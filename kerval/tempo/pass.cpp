// The tick pass: one run per 50 ms tick, on the timer's thread. It refreshes the application
// date, counts the delay tempos down, decides which tempos expire and writes their wake-up
// messages without ever waiting: a wake-up for a full box stays pending until a later pass
// finds room, and the expiries that pile up meanwhile make no further message.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/date/clock.h"
#include "kerval/mailbox/mailbox.h"
#include "kerval/tempo/tempo_internal.h"

namespace kerval::tempo {
namespace {

// Which calendar fields moved between the previous date and the refreshed one.
struct DateChange {
    bool year_up, month, day, hour, minute, second;
    int16_t minute_now;
};

DateChange Compare(const MsgDate& before, const MsgDate& now)
{
    return DateChange{before.nYear < now.nYear,
                      before.nMonth != now.nMonth,
                      before.nDay != now.nDay,
                      before.nHour != now.nHour,
                      before.nMinute != now.nMinute,
                      before.nSecond != now.nSecond,
                      now.nMinute};
}

// Pass-owned: passes never overlap (the platform serialises the timer's calls).
TempoMsg g_message{};
int32_t g_sender = -1;
Vector<std::pair<int32_t, uint32_t>> g_auto_deletes;  // record index, event number

bool CalendarDue(const TempoDescript& rec, const DateChange& c)
{
    switch (rec.eType) {
        case TEMPO_YEAR:
            return c.year_up;
        case TEMPO_MONTH:
            return c.month;
        case TEMPO_DAY:
            return c.day;
        case TEMPO_HOUR:
            return c.hour;
        case TEMPO_PERIOD_MINUTE:
            // The modulo is checked at creation; a record never holds one below 1.
            return c.minute && rec.xDate.nMinute > 0 && c.minute_now % rec.xDate.nMinute == 0;
        case TEMPO_MINUTE:
            return c.minute;
        case TEMPO_SECOND:
            return c.second;
        default:
            return false;
    }
}

// The count-down is 64 bits wide so that delays of 2^31 ms and more run their full length.
bool CountDown(TempoDescript& rec, int64_t& rest_ms)
{
    rest_ms -= TEMPO_TICK_MS;
    const bool expired = rest_ms <= 0;
    if (expired)
        rest_ms = rec.lInitialDelay;  // the overshoot is dropped
    rec.lRest = CappedRest(rest_ms);
    return expired;
}

bool Expires(TempoDescript& rec, int64_t& rest_ms, const MsgDate& now, const DateChange& c)
{
    switch (rec.eType) {
        case TEMPO_DELAY:
            return CountDown(rec, rest_ms);
        case TEMPO_DATE:
            return FinalInitialDate(&now, &rec.xDate) >= 1;
        default:
            return CalendarDue(rec, c);
    }
}

mailbox::WriteOutcome Send(const TempoDescript& rec, const TempoState& state)
{
    TempoMsg& m = g_message;
    m.hTempo = state.handle;
    m.lEvent = rec.lEvent;
    std::memcpy(m.szKeyword, rec.szKeyword, sizeof m.szKeyword);
    if (rec.lParam >= 1 && rec.pParam != nullptr)
        std::memcpy(m.aParam, rec.pParam, static_cast<size_t>(rec.lParam));
    else
        m.aParam[0] = 0;
    m.lParam = rec.lParam;
    return mailbox::WriteIfRoom(rec.hBoxToAwake, state.box_generation, g_sender, MSG_TYPE_TEMPO, &m,
                                sizeof m, -1);
}

// A tempo whose box has no room keeps one pending wake-up.
void Deliver(TempoTable& table, int32_t index, const TempoDescript& rec, TempoState& state)
{
    if (state.pending)
        return;
    if (Send(rec, state) == mailbox::WriteOutcome::kFull) {
        state.pending = true;
        table.pending.push_back(index);
    }
}

void ScheduleAutoDelete(int32_t index, const TempoDescript& rec, TempoState& state)
{
    if (state.pending)
        state.delete_when_delivered = true;
    else
        g_auto_deletes.emplace_back(index, rec.lEvent);
}

void Expire(TempoTable& table, int32_t index, TempoDescript& rec, TempoState& state)
{
    const bool auto_delete = (rec.bProperties & TEMPO_AUTODELETE) != 0;
    if (rec.eType == TEMPO_DATE || (rec.bProperties & TEMPO_ONETIME) != 0 || auto_delete) {
        rec.bActive = 0;
    } else if (rec.eType == TEMPO_DELAY && rec.lInitialDelay == 0) {
        std::printf("!!!! Tempo periodique de duree 0 : %s !!!!\n", NameFromObject(state.handle));
        std::fflush(stdout);
    }
    Deliver(table, index, rec, state);
    if (auto_delete)
        ScheduleAutoDelete(index, rec, state);
}

// Caller holds the table lock.
void DeliverPending(TempoTable& table)
{
    TempoDescript* records = core::Sys()->pxTempoTab;
    size_t kept = 0;
    for (const int32_t index : table.pending) {
        TempoState& state = table.states[static_cast<size_t>(index)];
        if (Send(records[index], state) == mailbox::WriteOutcome::kFull) {
            table.pending[kept++] = index;
            continue;
        }
        state.pending = false;
        if (state.delete_when_delivered) {
            state.delete_when_delivered = false;
            g_auto_deletes.emplace_back(index, records[index].lEvent);
        }
    }
    table.pending.resize(kept);
}

void ServeTempos(const MsgDate& now, const DateChange& change)
{
    TempoTable& table = Table();
    std::lock_guard guard(table.lock);
    SysDescript* sys = core::Sys();
    const auto count = static_cast<int32_t>(table.states.size());
    if (count < sys->nNbTempo)
        return;  // no tempo was ever created
    if (!core::Grown([&] { g_auto_deletes.reserve(static_cast<size_t>(count)); }))
        return;  // no memory now: the next tick serves the tempos
    DeliverPending(table);
    TempoDescript* records = sys->pxTempoTab;
    for (int32_t i = 0; i < count; ++i) {
        TempoDescript& rec = records[i];
        if (rec.bActive == 0)
            continue;
        if (Expires(rec, table.rest_ms[static_cast<size_t>(i)], now, change))
            Expire(table, i, rec, table.states[static_cast<size_t>(i)]);
    }
}

// Deletes the auto-delete tempos that expired, under the system lock (taken before the table
// lock); a tempo deleted or replaced since the pass saw it is left alone.
void DeleteExpired()
{
    if (g_auto_deletes.empty())
        return;
    core::SysLock lock;
    std::lock_guard guard(Table().lock);
    for (const auto& [index, event] : g_auto_deletes) {
        const TempoDescript& rec = core::Sys()->pxTempoTab[index];
        if (core::LoadFlag(rec.bUsed) == 0 || rec.lEvent != event)
            continue;
        const int32_t handle = core::HandleFromIndex(index, TEMPO_OBJECT);
        if (handle < 0) {
            std::printf(
                "\nKERVAL.ReveilToi() : Can't recover Object from tempo for AUTODELETE !\n");
            std::fflush(stdout);
        }
        FreeTempo(index, handle);
    }
    g_auto_deletes.clear();
}

}  // namespace

void RunPass()
{
    if (core::Sys() == nullptr)
        return;
    const MsgDate before = date::LoadAppDate();
    MsgDate now{};
    date::ReadLocalTime(&now);
    date::StoreAppDate(now);
    g_sender = HandleTaskTEMPO();
    ServeTempos(now, Compare(before, now));
    DeleteExpired();
}

}  // namespace kerval::tempo
