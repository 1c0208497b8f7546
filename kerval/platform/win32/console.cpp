// Trace console on Win32. The 80x50 screen is kept in memory (what console_cell and
// console_attribute read) and copied to a real console when the process could allocate one;
// the memory copy is the screen of record, so a console that cannot display (headless
// sessions) does not fail the writes.
#include <windows.h>

#include <conio.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "kerval/platform/platform.h"

namespace kerval::platform {
namespace {

constexpr uint16_t kDefaultAttribute = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;

struct Screen {
    std::mutex lock;
    bool open = false;
    HANDLE output = nullptr;  // the allocated console's screen buffer, or null
    char cells[kConsoleLines][kConsoleColumns];
    uint16_t attributes[kConsoleLines][kConsoleColumns];
};

Screen& screen()
{
    static Screen s;
    return s;
}

bool line_in_range(int line)
{
    return line >= 0 && line < kConsoleLines;
}

// Caller holds the screen lock.
void clear(Screen& s)
{
    std::memset(s.cells, ' ', sizeof s.cells);
    for (auto& row : s.attributes) {
        for (uint16_t& a : row)
            a = kDefaultAttribute;
    }
}

HANDLE allocate_real_console(const char* title)
{
    if (!AllocConsole())
        return nullptr;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return nullptr;
    SetConsoleScreenBufferSize(out, COORD{kConsoleColumns, kConsoleLines});
    const SMALL_RECT window{0, 0, kConsoleColumns - 1, kConsoleLines - 1};
    SetConsoleWindowInfo(out, TRUE, &window);
    SetConsoleTitleA(title);
    SetConsoleCursorPosition(out, COORD{0, 0});
    return out;
}

}  // namespace

bool console_open(const char* title)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    if (s.open) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    clear(s);
    s.output = allocate_real_console(title != nullptr ? title : "");
    s.open = true;
    return true;
}

bool console_is_open()
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    return s.open;
}

bool console_write_line(int line, const char* text)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    if (!s.open || !line_in_range(line)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    char* row = s.cells[line];
    const size_t length = text != nullptr ? strnlen(text, kConsoleColumns) : 0;
    std::memcpy(row, text, length);
    std::memset(row + length, ' ', kConsoleColumns - length);
    DWORD written = 0;
    if (s.output != nullptr) {
        WriteConsoleOutputCharacterA(s.output, row, kConsoleColumns,
                                     COORD{0, static_cast<SHORT>(line)}, &written);
    }
    return true;
}

bool console_set_line_attribute(int line, uint16_t attribute)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    if (!s.open || !line_in_range(line)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    for (uint16_t& a : s.attributes[line])
        a = attribute;
    DWORD written = 0;
    if (s.output != nullptr) {
        FillConsoleOutputAttribute(s.output, attribute, kConsoleColumns,
                                   COORD{0, static_cast<SHORT>(line)}, &written);
    }
    return true;
}

char console_cell(int line, int column)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    if (!s.open || !line_in_range(line) || column < 0 || column >= kConsoleColumns)
        return '\0';
    return s.cells[line][column];
}

uint16_t console_attribute(int line, int column)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    if (!s.open || !line_in_range(line) || column < 0 || column >= kConsoleColumns)
        return 0;
    return s.attributes[line][column];
}

int console_getch()
{
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        return _getch();
    return std::getc(stdin);
}

}  // namespace kerval::platform
