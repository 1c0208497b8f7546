// The trace log (rotating files TRACE.001.LOG..TRACE.100.LOG in the current directory, the
// current number in TRACE.000.LOG), the trace console ring and the debug output.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::error {
namespace {

constexpr int32_t kFirstTraceFile = 1;
constexpr int32_t kLastTraceFile = 100;
constexpr long kRotateBytes = 100000;
constexpr const char* kCounterFile = "TRACE.000.LOG";

// Both locks live for the whole process (built in static storage, never destroyed) so that
// threads still tracing while the process ends find them valid. Their holders are never
// suspended or ended there.
template <int kWhich>
platform::GuardedMutex& ProcessLock()
{
    alignas(platform::GuardedMutex) static unsigned char storage[sizeof(platform::GuardedMutex)];
    static auto* lock = ::new (storage) platform::GuardedMutex;
    return *lock;
}

platform::GuardedMutex& TraceLock()
{
    return ProcessLock<0>();
}
platform::GuardedMutex& StdoutLock()
{
    return ProcessLock<1>();
}

bool Exists(const char* name)
{
    int64_t seconds = 0;
    return platform::file_mtime(name, &seconds);
}

// The console mutex "_STDOUT_MUX" once the start-up has made it, else -1.
int32_t ConsoleMutex()
{
    const SysDescript* sys = _pxSysDescript;
    if (sys == nullptr)
        return -1;
    const int32_t hMute = core::LoadInt(sys->hStdoutMux);
    return ObjectExist(hMute) == SEM_OBJECT ? hMute : -1;
}

// Serialises lines on standard output: under "_STDOUT_MUX" once it exists, so that the
// application may take it around its own output too, and always under the library's own lock,
// which keeps lines whole before start-up as well. The whole line is one lock region: nobody
// is suspended or ended while holding either.
class StdoutGuard {
public:
    StdoutGuard() : mute_(ConsoleMutex())
    {
        if (mute_ >= 0 && TakeMute(mute_, WAIT_FOREVER) != eOK)
            mute_ = -1;
        StdoutLock().lock();
    }
    ~StdoutGuard()
    {
        StdoutLock().unlock();
        if (mute_ >= 0)
            FreeMute(mute_);
    }
    StdoutGuard(const StdoutGuard&) = delete;
    StdoutGuard& operator=(const StdoutGuard&) = delete;

private:
    platform::RegionGuard region_;
    int32_t mute_;
};

// Current trace file number; -1 until the first entry of the process. Guarded by TraceLock().
int32_t g_traceFile = -1;

void TraceName(int32_t number, char (&name)[32])
{
    std::snprintf(name, sizeof name, "TRACE.%03d.LOG", static_cast<int>(number));
}

bool ValidNumber(int32_t number)
{
    return number >= kFirstTraceFile && number <= kLastTraceFile;
}

void WriteCounter(int32_t number)
{
    std::FILE* file = core::OpenStream(kCounterFile, "wb");
    if (file == nullptr)
        return;
    const auto value = static_cast<uint32_t>(number);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    (void)std::fwrite(bytes, 1, sizeof bytes, file);  // a short write reads back as no counter
    std::fclose(file);
}

// The number kept by a previous process, or 1 (written down) when there is none; -1 when the
// counter file exists but cannot be read now. A counter file too short or out of range starts
// again at 1 rather than naming a file outside the series.
int32_t LoadCounter()
{
    std::FILE* file = core::OpenStream(kCounterFile, "rb");
    if (file == nullptr && Exists(kCounterFile))
        return -1;
    if (file != nullptr) {
        unsigned char bytes[4] = {};
        const size_t read = std::fread(bytes, 1, sizeof bytes, file);
        std::fclose(file);
        const auto number = static_cast<int32_t>(
            static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
        if (read == sizeof bytes && ValidNumber(number))
            return number;
    }
    WriteCounter(kFirstTraceFile);
    return kFirstTraceFile;
}

// Size in bytes of an existing file, -1 when it does not exist (0 when it cannot be measured now:
// an existing file is never started afresh for that).
long FileSize(const char* name)
{
    std::FILE* file = core::OpenStream(name, "rb");
    if (file == nullptr)
        return Exists(name) ? 0 : -1;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    std::fclose(file);
    return size < 0 ? 0 : size;
}

void WriteDatedLine(std::FILE* file, const char* word)
{
    platform::LocalTime t{};
    platform::local_time_read(&t);
    std::fprintf(file, "%s le %02d/%02d/%02d a %02d:%02d:%02d\n", word, t.day, t.month, t.year,
                 t.hour, t.minute, t.second);
}

std::FILE* StartTraceFile(const char* name)
{
    std::FILE* file = core::OpenStream(name, "w");
    if (file != nullptr)
        WriteDatedLine(file, "Debut");
    return file;
}

// Opens the current trace file for an entry, starting or rotating it as needed; null when no
// file can be opened (the entry is then lost). Caller holds TraceLock().
std::FILE* OpenTraceFile()
{
    if (g_traceFile == -1)
        g_traceFile = LoadCounter();
    if (g_traceFile == -1)
        return nullptr;
    char name[32];
    TraceName(g_traceFile, name);
    const long size = FileSize(name);
    std::FILE* file = size < 0 ? nullptr : core::OpenStream(name, "a");
    if (file == nullptr)
        return StartTraceFile(name);
    if (size < kRotateBytes)
        return file;

    WriteDatedLine(file, "Fin");
    std::fclose(file);
    g_traceFile = g_traceFile >= kLastTraceFile ? kFirstTraceFile : g_traceFile + 1;
    WriteCounter(g_traceFile);
    TraceName(g_traceFile, name);
    return StartTraceFile(name);
}

// Shows an entry as the newest line of the console ring: the previous newest line goes to the
// older attribute, the position moves one line down (line 0 after the last), and the text, cut
// or padded to the console width, is written there with the newest attribute.
// Caller holds TraceLock().
void ShowOnConsole(const char* text, size_t max_length)
{
    SysDescript* sys = core::Sys();
    if (sys == nullptr || !platform::console_is_open())
        return;
    char line[platform::kConsoleColumns + 1];
    const size_t length =
        strnlen(text, max_length < sizeof line - 1 ? max_length : sizeof line - 1);
    std::memset(line, ' ', sizeof line - 1);
    std::memcpy(line, text, length);
    line[sizeof line - 1] = '\0';

    ConsoleState& console = sys->xConsole;
    platform::console_set_line_attribute(console.nLine, console.nOlderAttribute);
    const int next = console.nLine + 1;
    console.nLine = static_cast<int16_t>(next >= platform::kConsoleLines ? 0 : next);
    platform::console_write_line(console.nLine, line);
    platform::console_set_line_attribute(console.nLine, console.nNewestAttribute);
}

void WriteTextEntry(std::FILE* file, const char* text)
{
    const size_t length = std::strlen(text);
    (void)std::fwrite(text, 1, length, file);  // tracing is best effort: nobody to tell
    if (length == 0 || text[length - 1] != '\n')
        std::fputc('\n', file);
}

}  // namespace
}  // namespace kerval::error

using namespace kerval;

extern "C" {

KV_API void AddTrace(const void* pData, int32_t lSize, uint8_t bDataMode)
{
    using namespace kerval::error;
    const bool dataMode = bDataMode != 0;
    const char* text = pData != nullptr ? static_cast<const char*>(pData) : "";
    const int32_t size = pData != nullptr && lSize > 0 ? lSize : 0;

    std::lock_guard guard(TraceLock());
    std::FILE* file = OpenTraceFile();
    ShowOnConsole(text, dataMode ? static_cast<size_t>(size) : SIZE_MAX);
    if (file == nullptr)
        return;
    if (dataMode) {
        PrintTrameDebug(pData, size, file, 1);
    } else {
        WriteTextEntry(file, text);
    }
    // Closing hands the entry to the system: a process killed afterwards loses nothing.
    std::fclose(file);
}

KV_API void DisplayDebug(const char* pszText, uint8_t bPrint)
{
    if (bPrint != 1 || pszText == nullptr)
        return;
    error::StdoutGuard guard;
    std::fputs(pszText, stdout);
    std::fflush(stdout);
}

KV_API void DisplayTraceDebug(const char* pszText, uint8_t bPrint)
{
    const char* text = pszText != nullptr ? pszText : "";
    DisplayDebug(text, bPrint);
    AddTrace(text, static_cast<int32_t>(std::strlen(text)), 0);
}

}  // extern "C"
