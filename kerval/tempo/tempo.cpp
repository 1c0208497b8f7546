// Tempo creation and control.
//
// Creation and deletion run under the system lock; every read or write of a record that the
// tick pass may touch also holds the table lock (tempo_internal.h), taken after the system lock.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/mailbox/mailbox.h"
#include "kerval/tempo/tempo_internal.h"

namespace kerval::tempo {
namespace {

constexpr const char* kCreateProc = "KERVAL-CreateAlarm()";
constexpr uint32_t kFirstEvent = 1000;
constexpr uint32_t kEventLimit = 2000000000u;
// Longest part of a caller's keyword quoted in a report.
constexpr int kQuotedKeyword = 256;

uint32_t g_event = kFirstEvent;  // guarded by the system lock
bool g_event_wrapped = false;

bool EventInUse(uint32_t event)
{
    const SysDescript* sys = core::Sys();
    for (int32_t i = 0; i < sys->nNbTempo; ++i) {
        const TempoDescript& rec = sys->pxTempoTab[i];
        if (core::LoadFlag(rec.bUsed) != 0 && rec.lEvent == event)
            return true;
    }
    return false;
}

bool ArgumentsValid(uint32_t eType, const MsgDate* pxDate, uint8_t bProperties)
{
    if (eType < TEMPO_DELAY || eType > TEMPO_SECOND)
        return false;
    if (eType == TEMPO_DATE)
        return (bProperties & TEMPO_ONETIME) != 0 && pxDate != nullptr;
    if (eType == TEMPO_PERIOD_MINUTE)
        return pxDate != nullptr && pxDate->nMinute > 0;
    return true;
}

void ReportCreation(const char* pszComment)
{
    KervalErreur(eNOK, "", kCreateProc, pszComment, __FILE__, __LINE__, 0);
}

// The caller's parameter block and keyword, checked and copied before the record is touched.
struct Extras {
    void* param = nullptr;
    int32_t size = 0;
    char keyword[TEMPO_KEYWORD_SIZE] = {};
};

bool CopyParam(const char* pszName, const char* pszKeyword, const void* pParam, int32_t lSize,
               Extras& out)
{
    if (pParam == nullptr || lSize < 1)
        return true;
    char text[512];
    if (lSize > MAX_PARAM_TEMPO) {
        std::snprintf(text, sizeof text,
                      "Param is to long ! Tempo=<%s>, Keyword=<%.*s>, lParam=<%d> "
                      "(MAX_PARAM_TEMPO=%d).",
                      pszName, kQuotedKeyword, pszKeyword, static_cast<int>(lSize),
                      MAX_PARAM_TEMPO);
        ReportCreation(text);
        return false;
    }
    out.param = core::Alloc(static_cast<size_t>(lSize));
    if (out.param == nullptr) {
        ReportCreation("Unable to aloc for param !");
        return false;
    }
    std::memcpy(out.param, pParam, static_cast<size_t>(lSize));
    out.size = lSize;
    return true;
}

bool CopyKeyword(const char* pszName, const char* pszKeyword, Extras& out)
{
    const size_t length = ::strnlen(pszKeyword, TEMPO_KEYWORD_SIZE);
    if (length >= TEMPO_KEYWORD_SIZE) {
        char text[512];
        std::snprintf(text, sizeof text, "Keyword is to long ! Tempo=<%s>, Keyword=<%.*s>", pszName,
                      kQuotedKeyword, pszKeyword);
        ReportCreation(text);
        return false;
    }
    std::memcpy(out.keyword, pszKeyword, length);
    return true;
}

// Caller holds the system lock and the table lock.
void FillRecord(TempoDescript& rec, uint32_t eType, const MsgDate* pxDate, uint32_t lDelay,
                uint8_t bProperties, int32_t hBox, uint32_t lEvent, Extras& extras)
{
    rec.bUserInactivate = 0;
    rec.lEvent = lEvent;
    rec.bActive = 0;
    std::memset(&rec.xDate, 0xFF, sizeof rec.xDate);
    if (eType == TEMPO_DATE)
        rec.xDate = *pxDate;
    if (eType == TEMPO_PERIOD_MINUTE) {
        std::memset(&rec.xDate, 0, sizeof rec.xDate);
        rec.xDate.nMinute = pxDate->nMinute;
    }
    rec.lInitialDelay = eType == TEMPO_DELAY ? lDelay : 0;
    rec.lRest = CappedRest(rec.lInitialDelay);
    rec.eType = eType;
    rec.bProperties = bProperties;
    rec.hBoxToAwake = hBox;
    std::memcpy(rec.szKeyword, extras.keyword, sizeof rec.szKeyword);
    rec.pParam = extras.param;
    rec.lParam = extras.size;
    extras.param = nullptr;  // now the record's
}

struct Request {
    uint32_t type;
    const MsgDate* date;
    uint32_t delay;
    uint8_t properties;
    int32_t box;
    const char* keyword;
    const void* param;
    int32_t size;
};

// The creation step run by core::CreateObject under the system lock.
int32_t MakeTempo(const Request& r, int32_t hTempo, int32_t lIndex, const char* pszName)
{
    const uint32_t generation = mailbox::OpenGeneration(r.box);
    if (generation == 0)
        return eOBJECT_NOT_EXIST;
    const uint32_t event = NextEvent();
    const char* keyword = r.keyword != nullptr ? r.keyword : "";
    Extras extras;
    const bool param_ok = CopyParam(pszName, keyword, r.param, r.size, extras);
    const bool keyword_ok = CopyKeyword(pszName, keyword, extras);
    if (!param_ok || !keyword_ok) {
        core::Free(extras.param);
        return eNOK;
    }
    TempoTable& table = Table();
    std::lock_guard guard(table.lock);
    if (!EnsureStates()) {
        core::Free(extras.param);
        return eNOK;
    }
    TempoDescript& rec = core::Sys()->pxTempoTab[lIndex];
    FillRecord(rec, r.type, r.date, r.delay, r.properties, r.box, event, extras);
    table.states[static_cast<size_t>(lIndex)] = TempoState{generation, hTempo};
    table.rest_ms[static_cast<size_t>(lIndex)] = r.delay;
    core::StoreFlag(rec.bUsed, 1);
    return eOK;
}

// The handle of the object named pszName (cut to the longest name), or -1.
int32_t HandleOfExistingName(const char* pszName)
{
    core::ObjectName name;
    const size_t length = ::strnlen(pszName, KV_NAME_MAX);
    std::memcpy(name, pszName, length);
    name[length] = '\0';
    core::SysLock lock;
    return core::index::HandleOfName(name);
}

int32_t CreateAlarm(const char* pszName, const Request& r, bool bActive, int32_t* phTempo)
{
    if (phTempo != nullptr)
        *phTempo = -1;
    if (ObjectExist(r.box) != MAILBOX_OBJECT)
        return eOBJECT_NOT_EXIST;
    if (!ArgumentsValid(r.type, r.date, r.properties))
        return eINVALID_PARAM;
    int32_t handle = -1;
    const int32_t code = core::CreateObject(
        TEMPO_OBJECT, pszName, &handle,
        [&r](int32_t h, int32_t index, const char* name) { return MakeTempo(r, h, index, name); });
    if (code == eOBJECT_EXIST && phTempo != nullptr && pszName != nullptr)
        *phTempo = HandleOfExistingName(pszName);
    if (code != eOK)
        return code;
    if (bActive) {
        std::lock_guard guard(Table().lock);
        if (TempoDescript* rec = core::TempoRecord(handle)) {
            rec->bActive = 1;
            rec->bUserInactivate = 0;
        }
    }
    if (phTempo != nullptr)
        *phTempo = handle;
    return eOK;
}

int32_t IndexOf(const TempoDescript* rec)
{
    return static_cast<int32_t>(rec - core::Sys()->pxTempoTab);
}

int32_t NotATempo(const char* pszProc, int32_t hTempo)
{
    char text[64];
    std::snprintf(text, sizeof text, "Object %d is not a tempo !", static_cast<int>(hTempo));
    KervalErreur(eNOK, "", pszProc, text, __FILE__, __LINE__, 0);
    return eNOK;
}

void ForbidDateReactivation(int32_t hTempo)
{
    char text[2 * KV_NAME_MAX + 64];
    std::snprintf(text, sizeof text, "%s : Reactivate TEMPO_DATE tempo %s forbidden !\n",
                  CurrentTaskName(), NameFromObject(hTempo));
    DisplayTraceDebug(text, 1);
}

void Deprecated(const char* pszOld, const char* pszNew)
{
    std::printf("\n!\n\t!     %s......        utiliser plutot >>>>>  %s !\n\n", pszOld, pszNew);
    std::fflush(stdout);
    WaitTime(1000);
}

}  // namespace

TempoTable& Table()
{
    static TempoTable table;
    return table;
}

bool EnsureStates()
{
    TempoTable& table = Table();
    const auto count = static_cast<size_t>(std::max<int16_t>(core::Sys()->nNbTempo, 0));
    if (table.states.size() >= count)
        return true;
    // The states come last: their size tells that the table is ready.
    return core::Grown([&] {
        table.rest_ms.resize(count);
        table.pending.reserve(count);
        table.states.resize(count);
    });
}

uint32_t NextEvent()
{
    for (;;) {
        if (++g_event >= kEventLimit) {
            g_event = kFirstEvent;
            g_event_wrapped = true;
        }
        if (!g_event_wrapped || !EventInUse(g_event))
            return g_event;
    }
}

void SetEventCounter(uint32_t value)
{
    core::SysLock lock;
    g_event = value;
}

void DropPending(int32_t lIndex)
{
    TempoTable& table = Table();
    TempoState& state = table.states[static_cast<size_t>(lIndex)];
    state.delete_when_delivered = false;
    if (!state.pending)
        return;
    state.pending = false;
    auto& list = table.pending;
    list.erase(std::find(list.begin(), list.end(), lIndex));
}

void FreeTempo(int32_t lIndex, int32_t hTempo)
{
    TempoDescript& rec = core::Sys()->pxTempoTab[lIndex];
    if (rec.lParam >= 1 && rec.pParam != nullptr)
        core::Free(rec.pParam);
    rec.pParam = nullptr;
    rec.lParam = 0;
    rec.bActive = 0;
    rec.bUserInactivate = 0;
    rec.lEvent = 0;
    DropPending(lIndex);
    Table().states[static_cast<size_t>(lIndex)] = TempoState{};
    if (hTempo >= 0)
        core::ReleaseObject(hTempo);
    else
        core::ReleaseRecord(TEMPO_OBJECT, lIndex);
}

}  // namespace kerval::tempo

using namespace kerval;
using kerval::tempo::Table;

extern "C" {

KV_API int32_t CreateActiveTempoWithParam(const char* pszName, uint32_t eType,
                                          const MsgDate* pxDate, uint32_t lDelay,
                                          uint8_t bProperties, int32_t hBox, const char* pszKeyword,
                                          const void* pParam, int32_t lParamSize, int32_t* phTempo)
{
    const tempo::Request r{eType, pxDate,     lDelay, bProperties,
                           hBox,  pszKeyword, pParam, lParamSize};
    return tempo::CreateAlarm(pszName, r, true, phTempo);
}

KV_API int32_t CreateActiveTempo(const char* pszName, uint32_t eType, const MsgDate* pxDate,
                                 uint32_t lDelay, uint8_t bProperties, int32_t hBox,
                                 int32_t* phTempo)
{
    const tempo::Request r{eType, pxDate, lDelay, bProperties, hBox, nullptr, nullptr, 0};
    return tempo::CreateAlarm(pszName, r, true, phTempo);
}

KV_API int32_t CreateInactiveTempo(const char* pszName, uint32_t eType, const MsgDate* pxDate,
                                   uint32_t lDelay, uint8_t bProperties, int32_t hBox,
                                   int32_t* phTempo)
{
    const tempo::Request r{eType, pxDate, lDelay, bProperties, hBox, nullptr, nullptr, 0};
    return tempo::CreateAlarm(pszName, r, false, phTempo);
}

KV_API int32_t ActivateTempo(const char* pszName, uint32_t eType, const MsgDate* pxDate,
                             uint32_t lDelay, uint8_t bProperties, int32_t hBox, int32_t* phTempo)
{
    tempo::Deprecated("ActivateTempo()", "CreateActiveTempo()");
    return CreateActiveTempo(pszName, eType, pxDate, lDelay, bProperties, hBox, phTempo);
}

KV_API int32_t CreateTempo(const char* pszName, uint32_t eType, const MsgDate* pxDate,
                           uint32_t lDelay, uint8_t bProperties, int32_t hBox, int32_t* phTempo)
{
    tempo::Deprecated("CreateTempo()", "CreateActiveTempo()");
    return ActivateTempo(pszName, eType, pxDate, lDelay, bProperties, hBox, phTempo);
}

KV_API int32_t ReactivateTempo(int32_t hTempo)
{
    bool is_date = false;
    {
        std::lock_guard guard(Table().lock);
        TempoDescript* rec = core::TempoRecord(hTempo);
        if (rec == nullptr)
            return tempo::NotATempo("KERVAL-ReactivateTempo()", hTempo);
        is_date = rec->eType == TEMPO_DATE;
        if (!is_date) {
            if (rec->eType == TEMPO_DELAY) {
                Table().rest_ms[static_cast<size_t>(tempo::IndexOf(rec))] = rec->lInitialDelay;
                rec->lRest = tempo::CappedRest(rec->lInitialDelay);
            }
            rec->bActive = 1;
            rec->bUserInactivate = 0;
        }
    }
    if (!is_date)
        return eOK;
    tempo::ForbidDateReactivation(hTempo);
    return eNOK;
}

KV_API int32_t InactivateTempo(int32_t hTempo)
{
    {
        std::lock_guard guard(Table().lock);
        if (TempoDescript* rec = core::TempoRecord(hTempo)) {
            rec->bActive = 0;
            rec->bUserInactivate = 1;
            tempo::DropPending(tempo::IndexOf(rec));
            return eOK;
        }
    }
    return tempo::NotATempo("KERVAL-InactivateTempo()", hTempo);
}

KV_API int32_t AbortTempo(int32_t hTempo)
{
    tempo::Deprecated("AbortTempo()", "InactivateTempo()");
    return InactivateTempo(hTempo);
}

KV_API int32_t DeleteTempo(int32_t hTempo)
{
    core::SysLock lock;
    {
        std::lock_guard guard(Table().lock);
        if (TempoDescript* rec = core::TempoRecord(hTempo)) {
            tempo::FreeTempo(tempo::IndexOf(rec), hTempo);
            return eOK;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s : Handle %d invalid !\n", "KERVAL-DeleteTempo()",
                  static_cast<int>(hTempo));
    DisplayDebug(text, 1);
    return eOK;
}

KV_API int32_t ChangeTempoDelay(int32_t hTempo, uint32_t lDelay)
{
    core::SysLock lock;
    std::lock_guard guard(Table().lock);
    TempoDescript* rec = core::TempoRecord(hTempo);
    if (rec == nullptr || rec->eType != TEMPO_DELAY)
        return eINVALID_HANDLE;
    rec->lInitialDelay = lDelay;
    return eOK;
}

KV_API int IsTempoRunning(int32_t hTempo)
{
    std::lock_guard guard(Table().lock);
    const TempoDescript* rec = core::TempoRecord(hTempo);
    return rec != nullptr && rec->bActive == 1 && rec->bUserInactivate == 0 ? 1 : 0;
}

KV_API int32_t HandleTaskTEMPO(void)
{
    const int32_t handle = FindObjectMirror("_TEMPO_TASK");
    return ObjectExist(handle) == TASK_OBJECT ? handle : -1;
}

KV_API int32_t IsValidTempo(int32_t lType, int32_t hSender, const void* pPayload)
{
    if (pPayload == nullptr || lType != MSG_TYPE_TEMPO || hSender == -1 ||
        hSender != HandleTaskTEMPO())
        return -1;
    int32_t claimed = -1;
    uint32_t event = 0;
    std::memcpy(&claimed, pPayload, sizeof claimed);
    std::memcpy(&event, static_cast<const char*>(pPayload) + sizeof claimed, sizeof event);
    const auto matches = [event](const TempoDescript& rec) {
        return core::LoadFlag(rec.bUsed) == 1 && rec.lEvent == event && rec.bUserInactivate == 0;
    };
    std::lock_guard guard(Table().lock);
    // Event numbers of live tempos are unique: the handle in the payload is checked first.
    if (const TempoDescript* rec = core::TempoRecord(claimed); rec != nullptr && matches(*rec))
        return claimed;
    const SysDescript* sys = core::Sys();
    for (int32_t i = 0; i < sys->nNbTempo; ++i) {
        if (matches(sys->pxTempoTab[i]))
            return core::HandleFromIndex(i, TEMPO_OBJECT);
    }
    return -1;
}

}  // extern "C"
