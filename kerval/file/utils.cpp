// File utilities by path: copy, existence and size, rename, modification date.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

#include "kerval/error/report.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::file {
namespace {

constexpr size_t kCopyChunk = 1024;

// A null path is an internal error of the caller: reported with severity 3.
bool NullPathReported(const char* path)
{
    if (path != nullptr)
        return false;
    KV_CHECK("Null pointer !", 1, 3);
    return true;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Write errors do not change FileCopy's result, which reports only files it cannot open.
void CopyStream(std::FILE* from, std::FILE* to)
{
    char buffer[kCopyChunk];  // on the stack: a copy never fails for want of memory
    size_t read = 0;
    while ((read = std::fread(buffer, 1, kCopyChunk, from)) > 0) {
        (void)std::fwrite(buffer, 1, read, to);
    }
}

// Two texts naming one file: copying would truncate the source before reading it.
bool SameFile(const char* source, const char* dest)
{
    if (std::strcmp(source, dest) == 0)
        return true;
    std::error_code error;
    return std::filesystem::equivalent(source, dest, error) && !error;
}

// Splits seconds since 1970 (UTC) into a civil date and time of day.
void BreakDownUtc(int64_t seconds, MsgDate* date)
{
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    // Civil date from a day count (eras of 400 years starting on 1 March).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    date->nYear = static_cast<int16_t>(year % 100);
    Year2ToYear4(&date->nYear);
    date->nMonth = static_cast<int16_t>(month);
    date->nDay = static_cast<int16_t>(day);
    date->nHour = static_cast<int16_t>(rest / 3600);
    date->nMinute = static_cast<int16_t>(rest % 3600 / 60);
    date->nSecond = static_cast<int16_t>(rest % 60);
    date->nHundredth = 0;
}

}  // namespace
}  // namespace kerval::file

extern "C" {

int32_t FileCopy(const char* pszSource, const char* pszDest)
{
    const bool null_source = kerval::file::NullPathReported(pszSource);
    const bool null_dest = kerval::file::NullPathReported(pszDest);
    if (null_source || null_dest)
        return eNOK;
    if (kerval::file::SameFile(pszSource, pszDest))
        return eOK;
    const kerval::file::File from(std::fopen(pszSource, "rb"));
    if (!from)
        return eNOK;
    const kerval::file::File to(std::fopen(pszDest, "wb"));
    if (!to)
        return eNOK;
    kerval::file::CopyStream(from.get(), to.get());
    return eOK;
}

// The size of a regular file (a larger one than 2 GiB answers the largest count), 0 for
// anything else that exists, -1 for a missing path.
int32_t FileExist(const char* pszPath)
{
    if (pszPath == nullptr)
        return -1;
    std::error_code error;
    const std::filesystem::path path(pszPath);
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status))
        return -1;
    if (!std::filesystem::is_regular_file(status))
        return 0;
    const auto size = std::filesystem::file_size(path, error);
    if (error)
        return -1;
    constexpr auto kLargest = static_cast<uintmax_t>(std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(size < kLargest ? size : kLargest);
}

int32_t RenameFile(const char* pszOld, const char* pszNew)
{
    const bool null_old = kerval::file::NullPathReported(pszOld);
    const bool null_new = kerval::file::NullPathReported(pszNew);
    if (null_old || null_new)
        return -1;
    return std::rename(pszOld, pszNew) == 0 ? 0 : -1;
}

// The modification time in UTC; a path without status gives a record of nine zeros.
MsgDate* FileDate(const char* pszPath, MsgDate* pxDate)
{
    if (pxDate == nullptr)
        return nullptr;
    int64_t seconds = 0;
    if (pszPath == nullptr || !kerval::platform::file_mtime(pszPath, &seconds)) {
        *pxDate = MsgDate{};
        return pxDate;
    }
    kerval::file::BreakDownUtc(seconds, pxDate);
    return pxDate;
}

}  // extern "C"
