// Trace console: an 80x50 screen of characters and Win32 attributes kept in memory, mirrored
// with ANSI colours into a FIFO that an operator reads with `cat` (path: $KERVAL_CONSOLE, or
// "kerval-console" in the current directory). Writing never blocks: without a reader the
// mirror is skipped, and whatever a slow reader misses is redrawn whole on the next write.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "kerval/platform/platform.h"

namespace kerval::platform {
namespace {

constexpr uint16_t kDefaultAttribute = 7;  // light grey on black

struct Screen {
    std::mutex lock;  // guards everything below
    bool open = false;
    std::string title;
    std::string fifo_path;
    int fd = -1;
    bool redraw = true;
    std::array<std::array<char, kConsoleColumns>, kConsoleLines> cells{};
    std::array<std::array<uint16_t, kConsoleColumns>, kConsoleLines> attributes{};
};

Screen& screen()
{
    static Screen s;
    return s;
}

// Win32 colour bits are blue 1, green 2, red 4; ANSI numbers them red 1, green 2, blue 4.
int ansi_colour(unsigned bits)
{
    return static_cast<int>(((bits & 4) >> 2) | (bits & 2) | ((bits & 1) << 2));
}

void append_sgr(std::string& out, uint16_t attribute)
{
    const int fg = ansi_colour(attribute & 7) + ((attribute & 8) ? 90 : 30);
    const int bg = ansi_colour((attribute >> 4) & 7) + ((attribute & 0x80) ? 100 : 40);
    out += "\033[" + std::to_string(fg) + ';' + std::to_string(bg) + 'm';
}

void append_line(std::string& out, const Screen& s, int line)
{
    out += "\033[" + std::to_string(line + 1) + ";1H";
    int previous = -1;
    for (int column = 0; column < kConsoleColumns; ++column) {
        const uint16_t attribute = s.attributes[line][column];
        if (attribute != previous)
            append_sgr(out, attribute);
        previous = attribute;
        const char c = s.cells[line][column];
        out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    }
    out += "\033[0m";
}

std::string full_screen(const Screen& s)
{
    std::string out = "\033]0;" + s.title + "\007\033[2J";
    for (int line = 0; line < kConsoleLines; ++line)
        append_line(out, s, line);
    return out;
}

// Writes without SIGPIPE when the reader has gone: the signal is blocked in this thread and
// a pending one is taken back before unblocking.
ssize_t write_quietly(int fd, const std::string& data)
{
    sigset_t pipe_set;
    sigset_t previous;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &previous);
    const ssize_t n = write(fd, data.data(), data.size());
    const int err = errno;
    if (n < 0 && err == EPIPE) {
        const timespec zero{0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = err;
    return n;
}

// Caller holds the screen lock.
void mirror(Screen& s, int line)
{
    if (s.fd < 0) {
        s.fd = open(s.fifo_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (s.fd < 0)
            return;  // no reader yet
        s.redraw = true;
    }
    const std::string data = s.redraw ? full_screen(s) : [&] {
        std::string one;
        append_line(one, s, line);
        return one;
    }();
    const ssize_t n = write_quietly(s.fd, data);
    s.redraw = n != static_cast<ssize_t>(data.size());
    if (n < 0 && errno != EAGAIN) {
        close(s.fd);
        s.fd = -1;
    }
}

std::string fifo_path()
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once, when start-up opens the console
    const char* configured = std::getenv("KERVAL_CONSOLE");
    return (configured != nullptr && *configured != '\0') ? configured : "kerval-console";
}

bool valid_cell(int line, int column)
{
    return line >= 0 && line < kConsoleLines && column >= 0 && column < kConsoleColumns;
}

}  // namespace

bool console_open(const char* title)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    if (s.open) {
        set_last_error(kErrAccessDenied);
        return false;
    }
    s.open = true;
    s.title = title != nullptr ? title : "";
    s.fifo_path = fifo_path();
    for (auto& row : s.cells)
        row.fill(' ');
    for (auto& row : s.attributes)
        row.fill(kDefaultAttribute);
    // The screen works in memory even when no FIFO can be made here.
    if (mkfifo(s.fifo_path.c_str(), 0600) != 0 && errno != EEXIST)
        s.fifo_path.clear();
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
    if (!s.open || line < 0 || line >= kConsoleLines) {
        set_last_error(s.open ? kErrInvalidParameter : kErrInvalidHandle);
        return false;
    }
    const size_t length = text != nullptr ? std::strlen(text) : 0;
    for (int column = 0; column < kConsoleColumns; ++column) {
        s.cells[line][column] = static_cast<size_t>(column) < length ? text[column] : ' ';
    }
    if (!s.fifo_path.empty())
        mirror(s, line);
    return true;
}

bool console_set_line_attribute(int line, uint16_t attribute)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    if (!s.open || line < 0 || line >= kConsoleLines) {
        set_last_error(s.open ? kErrInvalidParameter : kErrInvalidHandle);
        return false;
    }
    s.attributes[line].fill(attribute);
    if (!s.fifo_path.empty())
        mirror(s, line);
    return true;
}

char console_cell(int line, int column)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    return (s.open && valid_cell(line, column)) ? s.cells[line][column] : '\0';
}

uint16_t console_attribute(int line, int column)
{
    Screen& s = screen();
    std::lock_guard guard(s.lock);
    return (s.open && valid_cell(line, column)) ? s.attributes[line][column] : 0;
}

int console_getch()
{
    if (!isatty(STDIN_FILENO))
        return std::getc(stdin);
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0)
        return std::getc(stdin);
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    unsigned char c = 0;
    ssize_t n;
    do {
        n = read(STDIN_FILENO, &c, 1);
    } while (n < 0 && errno == EINTR);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return n == 1 ? c : EOF;
}

}  // namespace kerval::platform
