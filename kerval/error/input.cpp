// Console input helpers: one key, one line, one menu digit.
#include <cstdio>
#include <cstring>

#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

namespace kerval::error {
namespace {

// After a line that filled the buffer: reads and drops the rest of it, or only its line
// break when the line fitted exactly (then a "\r" before it goes too).
void FinishLongLine(char* text)
{
    int c = std::getc(stdin);
    if (c == '\n') {
        const size_t length = std::strlen(text);
        if (length > 0 && text[length - 1] == '\r')
            text[length - 1] = '\0';
        return;
    }
    while (c != EOF && c != '\n')
        c = std::getc(stdin);
}

// Drops the line break, "\n" or "\r\n", at the end of text.
bool DropLineBreak(char* text)
{
    size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] != '\n')
        return false;
    text[--length] = '\0';
    if (length > 0 && text[length - 1] == '\r')
        text[length - 1] = '\0';
    return true;
}

}  // namespace
}  // namespace kerval::error

extern "C" {

int32_t InputChar(void)
{
    std::fflush(stdout);
    return kerval::platform::console_getch();
}

// The line is cut to KV_INPUT_STRING_MAX - 1 characters; the rest of a longer line is read
// and dropped so the next call starts on the next line.
char* InputString(char* pszBuffer)
{
    if (pszBuffer == nullptr)
        return nullptr;
    std::fflush(stdout);
    if (std::fgets(pszBuffer, KV_INPUT_STRING_MAX, stdin) == nullptr)
        return nullptr;
    if (!kerval::error::DropLineBreak(pszBuffer))
        kerval::error::FinishLongLine(pszBuffer);
    return pszBuffer;
}

int16_t InputMenuChoice(void)
{
    std::printf("\nVotre choix : ");
    const int32_t key = InputChar();
    const auto choice = static_cast<int16_t>(key >= '0' && key <= '9' ? key - '0' : 0);
    std::printf("%hd\n", choice);
    std::fflush(stdout);
    return choice;
}

}  // extern "C"
