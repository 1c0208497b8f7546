// The error report: one fixed format on standard output and in the trace, the copy of fatal
// reports to "BOX_USRINTF", the record of the first fatal error, and the code/text helpers.
#include "kerval/error/report.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "kerval/core/core.h"
#include "kerval/platform/platform.h"

namespace kerval::error {

const ErrorComment ErrorTable[20] = {
    {eOK, "eOK"},
    {eNOK, "eNOK"},
    {eNO_MEMORY, "eNO_MEMORY"},
    {eINVALID_HANDLE, "eINVALID_HANDLE"},
    {eTIME_OVER, "eTIME_OVER"},
    {eALREADY_USED, "eALREADY_USED"},
    {eOBJECT_NOT_EXIST, "eOBJECT_NOT_EXIST"},
    {eTCP_UNKNOWN_HOST, "eTCP_UNKNOWN_HOST"},
    {eTCP_CONNECTION_FAIL, "eTCP_CONNECTION_FAIL"},
    {eBAD_DATE, "eBAD_DATE"},
    {eBAD_LEN, "eBAD_LEN"},
    {ePARAM_TASK_TOO_BIG, "ePARAM_TASK_TOO_BIG"},
    {eFILE_NOT_EXIST, "eFILE_NOT_EXIST"},
    {eINVALID_PARAM, "eINVALID_PARAM"},
    {eOVERFLOW, "eOVERFLOW"},
    {eBAD_CASE, "eBAD_CASE"},
    {eOBJECT_EXIST, "eOBJECT_EXIST"},
    {eTCP_CONNECTION_FAIL_SOCKET, "eTCP_CONNECTION_FAIL_SOCKET"},
    {eTCP_CONNECTION_FAIL_SOCKTOUT, "eTCP_CONNECTION_FAIL_SOCKTOUT"},
    {eTCP_CONNECTION_FAIL_CONNECT, "eTCP_CONNECTION_FAIL_CONNECT"},
};

namespace {

constexpr int kErrorTextMax = 259;  // error text shown and recorded
constexpr int kTaskNameMax = KV_NAME_MAX;
constexpr int kPathMax = 1023;      // source path, file name and directory in a report
constexpr int kProcShownMax = 255;  // procedure name in a report
constexpr int kCommentShownMax = 1023;
constexpr size_t kSysTextSize = 127;  // system error text in ErrorCheck, terminator included

const char* OrEmpty(const char* text)
{
    return text != nullptr ? text : "";
}

// Copies at most max characters of text into out (max + 1 bytes) and terminates it.
void CopyCut(char* out, const char* text, size_t max)
{
    const size_t length = strnlen(OrEmpty(text), max);
    std::memcpy(out, OrEmpty(text), length);
    out[length] = '\0';
}

// Position of the last slash or backslash of path, or null.
const char* LastSeparator(const char* path)
{
    const char* found = nullptr;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\')
            found = p;
    }
    return found;
}

// Copies length characters of text into out (size bytes), cut to fit.
void CopyPart(char* out, size_t size, const char* text, size_t length)
{
    if (size == 0)
        return;
    if (length >= size)
        length = size - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
}

struct ReportTime {
    platform::LocalTime now;
    char text[64];
};

ReportTime ReadReportTime()
{
    ReportTime time{};
    platform::local_time_read(&time.now);
    const platform::LocalTime& t = time.now;
    std::snprintf(time.text, sizeof time.text, "%02d-%02d-%02d %02d:%02d:%02d", t.day, t.month,
                  t.year, t.hour, t.minute, t.second);
    return time;
}

// The name of the calling task, "" for a thread that is no task.
const char* ReporterName()
{
    const int32_t task = core::CurrentTaskHandle();
    return task == -1 ? "" : NameFromObject(task);
}

struct FatalRecord {
    const char* task;
    const platform::LocalTime* time;
    uint32_t code;
    const char* error;
    int32_t line;
    const char* path;
    const char* proc;
    const char* comment;
};

// Fills xFirstFatal for the first fatal report of the process only: the status word goes to 2
// atomically, so one reporter among simultaneous ones wins.
void RecordFirstFatal(const FatalRecord& fatal)
{
    SysDescript* sys = core::Sys();
    if (sys == nullptr)
        return;
    if (std::atomic_ref<uint32_t>(sys->lStatus).exchange(2) == 2)
        return;
    FirstFatal& record = sys->xFirstFatal;
    CopyCut(record.szTask, fatal.task, sizeof record.szTask - 1);
    record.xFatalDate = MsgDate{};
    record.xFatalDate.nYear = static_cast<int16_t>(fatal.time->year);
    record.xFatalDate.nMonth = static_cast<int16_t>(fatal.time->month);
    record.xFatalDate.nDay = static_cast<int16_t>(fatal.time->day);
    record.xFatalDate.nHour = static_cast<int16_t>(fatal.time->hour);
    record.xFatalDate.nMinute = static_cast<int16_t>(fatal.time->minute);
    record.xFatalDate.nSecond = static_cast<int16_t>(fatal.time->second);
    record.lError = fatal.code;
    CopyCut(record.szError, fatal.error, sizeof record.szError - 1);
    record.nLine = static_cast<int16_t>(fatal.line);
    CopyCut(record.szSrcPath, fatal.path, sizeof record.szSrcPath - 1);
    CopyCut(record.szProc, fatal.proc, sizeof record.szProc - 1);
    CopyCut(record.szComment, fatal.comment, sizeof record.szComment - 1);
}

void SuspendReporter()
{
    SuspendApplication(core::CurrentTaskHandle());
}

}  // namespace

char* ExtractFileName(const char* pszPath, char* pszOut, size_t nOutSize)
{
    const char* path = OrEmpty(pszPath);
    const char* separator = LastSeparator(path);
    const char* name = separator != nullptr ? separator + 1 : path;
    CopyPart(pszOut, nOutSize, name, std::strlen(name));
    return pszOut;
}

char* _Kerval_ExtractFilePath(const char* pszPath, char* pszOut, size_t nOutSize)
{
    const char* path = OrEmpty(pszPath);
    const char* separator = LastSeparator(path);
    const size_t length = separator != nullptr ? static_cast<size_t>(separator - path) : 0;
    CopyPart(pszOut, nOutSize, path, length);
    if (length == 2 && path[1] == ':' && nOutSize > 4)
        std::memcpy(pszOut + 2, "\\.", 3);
    return pszOut;
}

char* SystemErrorText(uint32_t lSysError, char* pszBuffer, uint16_t nSize)
{
    if (pszBuffer == nullptr || nSize == 0)
        return pszBuffer;
    platform::error_text(lSysError, pszBuffer, nSize);
    pszBuffer[nSize - 1] = '\0';
    if (pszBuffer[0] == '\0')
        CopyPart(pszBuffer, nSize, "unreferenced error", 18);
    return pszBuffer;
}

void SendErrorToUsrIntf(const char* pszText)
{
    const char* text = OrEmpty(pszText);
    const int32_t box = FindObjectMirror("BOX_USRINTF");
    WriteMailBox(-1, box, 1, text, static_cast<uint32_t>(std::strlen(text) + 1), -1);
}

}  // namespace kerval::error

using namespace kerval;

extern "C" {

KV_API const char* _ApplicativErrorComment(uint32_t lCode, int16_t nNbRows,
                                           const ErrorComment* pxTable)
{
    for (int16_t row = 0; pxTable != nullptr && row < nNbRows; ++row) {
        if (pxTable[row].lCode == lCode)
            return pxTable[row].pszText;
    }
    return "undocumented error";
}

KV_API int32_t ErreurApp(int32_t lCode, const char* pszProc, const char* pszText)
{
    if (lCode == 0)
        return lCode;
    char line[1024];
    std::snprintf(line, sizeof line, "%s : %s\n", error::OrEmpty(pszProc), error::OrEmpty(pszText));
    DisplayTraceDebug(line, 1);
    return lCode;
}

KV_API int32_t FmtError(const char* pszFile, int16_t nLine, const char* pszText)
{
    char* buffer = TaskBuf();
    if (buffer == nullptr)
        return 0;
    const int written = std::snprintf(buffer, KV_TASK_BUF_SIZE, "file %s, line %d : %s\n",
                                      error::OrEmpty(pszFile), nLine, error::OrEmpty(pszText));
    if (written < 0)
        return 0;
    return written < KV_TASK_BUF_SIZE ? written : KV_TASK_BUF_SIZE - 1;
}

KV_API void KervalErreur(int32_t lError, const char* pszErrorText, const char* pszProc,
                         const char* pszComment, const char* pszFile, int32_t lLine, uint8_t bFatal)
{
    using namespace kerval::error;
    const char* task = ReporterName();
    char errorText[kErrorTextMax + 1];
    CopyCut(errorText, pszErrorText, kErrorTextMax);
    const ReportTime time = ReadReportTime();
    const bool fatal = bFatal == 1;
    char module[kPathMax + 1];
    char directory[kPathMax + 1];
    ExtractFileName(pszFile, module, sizeof module);
    _Kerval_ExtractFilePath(pszFile, directory, sizeof directory);

    char report[4 * kPathMax + 1024];
    std::snprintf(report, sizeof report,
                  "\n----------------------------------------%s\nDate     =%s\nTask     =%.*s\n"
                  "Error    =(%d) : %s\nModule   =%s\nPath     =%s\nProcedure=%.*s\n"
                  "Line     =%d\nComment  =%.*s\n----------------------------------------\n",
                  fatal ? "-  FATAL ERROR  -" : "- WARNING ERROR -", time.text, kTaskNameMax, task,
                  lError, errorText, module, directory, kProcShownMax, OrEmpty(pszProc), lLine,
                  kCommentShownMax, OrEmpty(pszComment));
    DisplayTraceDebug(report, 1);
    if (!fatal)
        return;

    SendErrorToUsrIntf(report);
    RecordFirstFatal({task, &time.now, static_cast<uint32_t>(lError) & 0xFFFFu, errorText, lLine,
                      pszFile, pszProc, pszComment});
    SuspendReporter();
}

KV_API void ErrorCheck(int32_t lLine, const char* pszFile, const char* pszProc, uint32_t lSysError,
                       uint32_t lFatal)
{
    using namespace kerval::error;
    char headline[2 * kPathMax + 512];
    std::snprintf(headline, sizeof headline,
                  "Task <%.*s> : Error in module <%.*s>, proc. <%.*s> (line #%d)\n", kTaskNameMax,
                  CurrentTaskName(), kPathMax, OrEmpty(pszFile), kProcShownMax, OrEmpty(pszProc),
                  lLine);
    DisplayTraceDebug(headline, 1);
    char systemText[kSysTextSize];
    DisplayTraceDebug(SystemErrorText(lSysError, systemText, kSysTextSize), 1);
    if (lFatal == 0)
        return;

    SendErrorToUsrIntf(headline);
    const ReportTime time = ReadReportTime();
    const platform::LocalTime& t = time.now;
    char internal[128];
    std::snprintf(internal, sizeof internal,
                  " Internal error   %02d/%02d/%02d at %02d:%02d:%02d.\n", t.day, t.month, t.year,
                  t.hour, t.minute, t.second);
    DisplayTraceDebug(internal, 1);
    const char* task = ReporterName();
    RecordFirstFatal({task, &t, lSysError, "", lLine, pszFile, pszProc, ""});
    SuspendReporter();
}

}  // extern "C"
