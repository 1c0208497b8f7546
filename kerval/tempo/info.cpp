// GetInfoTempo: a tempo's record as out-values or as a report on standard output.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "kerval/core/core.h"
#include "kerval/tempo/tempo_internal.h"

namespace kerval::tempo {
namespace {

const char* TypeName(uint32_t eType)
{
    static const char* const kNames[] = {"DELAY", "DATE",          "YEAR",   "MONTH", "DAY",
                                         "HOUR",  "PERIOD_MINUTE", "MINUTE", "SECOND"};
    return eType >= TEMPO_DELAY && eType <= TEMPO_SECOND ? kNames[eType - 1] : "";
}

const char* YesNo(bool value)
{
    return value ? "yes" : "no";
}

struct Snapshot {
    TempoDescript rec;
    int64_t rest_ms;
};

void Show(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Show(const char* format, ...)
{
    char line[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    DisplayDebug(line, 1);
}

void ShowTypeDetails(const TempoDescript& rec, int64_t rest_ms)
{
    const MsgDate& d = rec.xDate;
    if (rec.eType == TEMPO_DELAY)
        Show("    Initial Delay=%lu, Rest=%lu\n", static_cast<unsigned long>(rec.lInitialDelay),
             static_cast<unsigned long>(rest_ms < 0 ? 0 : rest_ms));
    if (rec.eType == TEMPO_DATE)
        Show("    Date=%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd\n", d.nYear, d.nMonth, d.nDay,
             d.nHour, d.nMinute, d.nSecond, d.nHundredth);
    if (rec.eType == TEMPO_PERIOD_MINUTE)
        Show("    Minute Modulo=%d\n", static_cast<int>(d.nMinute));
}

void ShowTempo(int32_t hTempo, const Snapshot& s)
{
    const TempoDescript& rec = s.rec;
    Show("Tempo '%s' (handle=%d)\n", NameFromObject(hTempo), static_cast<int>(hTempo));
    Show("    hBoxToAwake='%s' (handle=%d)\n", NameFromObject(rec.hBoxToAwake),
         static_cast<int>(rec.hBoxToAwake));
    Show("    Type=%s (eType=%d)\n", TypeName(rec.eType), static_cast<int>(rec.eType));
    ShowTypeDetails(rec, s.rest_ms);
    Show("    Properties : Active=%s, OneTime=%s, AutoDelete=%s, lEvent=%d, UserInactivate=%s\n",
         YesNo(rec.bActive == 1), YesNo((rec.bProperties & TEMPO_ONETIME) != 0),
         YesNo((rec.bProperties & TEMPO_AUTODELETE) != 0), static_cast<int>(rec.lEvent),
         YesNo(rec.bUserInactivate == 1));
}

template <class T>
void Put(T* out, T value)
{
    if (out != nullptr)
        *out = value;
}

bool TakeSnapshot(int32_t hTempo, Snapshot* out)
{
    TempoTable& table = Table();
    std::lock_guard guard(table.lock);
    const TempoDescript* rec = core::TempoRecord(hTempo);
    if (rec == nullptr)
        return false;
    out->rec = *rec;
    out->rest_ms = table.rest_ms[static_cast<size_t>(rec - core::Sys()->pxTempoTab)];
    return true;
}

}  // namespace
}  // namespace kerval::tempo

extern "C" KV_API int32_t GetInfoTempo(int32_t hTempo, uint8_t bDisplay, int32_t* phBox,
                                       uint32_t* peType, MsgDate* pxDate, uint32_t* plInitialDelay,
                                       int32_t* plRest, uint8_t* pbProperties, uint32_t* plEvent,
                                       uint8_t* pbUserInactivate, uint8_t* pbActive)
{
    using namespace kerval::tempo;
    Snapshot s{};
    if (!TakeSnapshot(hTempo, &s)) {
        if (bDisplay == 1)
            Show("Tempo %d invalid !\n", static_cast<int>(hTempo));
        return eNOK;
    }
    if (bDisplay != 0) {
        ShowTempo(hTempo, s);
        return eOK;
    }
    Put(phBox, s.rec.hBoxToAwake);
    Put(peType, s.rec.eType);
    Put(pxDate, s.rec.xDate);
    Put(plInitialDelay, s.rec.lInitialDelay);
    Put(plRest, s.rec.lRest);
    Put(pbProperties, s.rec.bProperties);
    Put(plEvent, s.rec.lEvent);
    Put(pbUserInactivate, s.rec.bUserInactivate);
    Put(pbActive, s.rec.bActive);
    return eOK;
}
