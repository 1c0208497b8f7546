// Frame dumps in hexadecimal and characters, a byte as binary digits, and the block check
// character of a frame.
#include <cstdio>
#include <cstring>

#include "kerval/kerval.h"

namespace kerval::error {
namespace {

constexpr int kBytesPerLine = 16;
constexpr int kHexWidth = 3 * kBytesPerLine;  // "XX " for each byte

// One dump line: 16 columns "XX " then a tab and 16 characters, padded when fewer bytes.
// Bytes below 32 show as a full stop in the character column.
void FormatDumpLine(const unsigned char* bytes, int count, char* line)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    char* hex = line;
    char* text = line + kHexWidth + 1;
    for (int i = 0; i < kBytesPerLine; ++i, hex += 3) {
        const bool present = i < count;
        hex[0] = present ? kHex[bytes[i] >> 4] : ' ';
        hex[1] = present ? kHex[bytes[i] & 0x0F] : ' ';
        hex[2] = ' ';
        text[i] = present ? (bytes[i] > 31 ? static_cast<char>(bytes[i]) : '.') : ' ';
    }
    line[kHexWidth] = '\t';
    text[kBytesPerLine] = '\n';
    text[kBytesPerLine + 1] = '\0';
}

void EmitLine(const char* line, std::FILE* stream, uint8_t print)
{
    DisplayDebug(line, print);
    if (stream != nullptr)
        std::fputs(line, stream);
}

}  // namespace
}  // namespace kerval::error

extern "C" {

void PrintTrameDebug(const void* pFrame, int32_t lSize, FILE* pStream, uint8_t bPrint)
{
    char line[3 * 16 + 1 + 16 + 2];
    std::snprintf(line, sizeof line, "len=%ld\n", static_cast<long>(lSize));
    kerval::error::EmitLine(line, pStream, bPrint);
    if (pFrame == nullptr)
        return;
    const auto* bytes = static_cast<const unsigned char*>(pFrame);
    for (int32_t offset = 0; offset < lSize; offset += kerval::error::kBytesPerLine) {
        const int32_t count = lSize - offset < 16 ? lSize - offset : 16;
        kerval::error::FormatDumpLine(bytes + offset, count, line);
        kerval::error::EmitLine(line, pStream, bPrint);
    }
}

char* FmtBinaire(uint8_t ucValue, char* pszOut)
{
    if (pszOut == nullptr)
        return nullptr;
    for (int bit = 0; bit < 8; ++bit)
        pszOut[bit] = (ucValue & (0x80 >> bit)) != 0 ? '1' : '0';
    pszOut[8] = '\0';
    return pszOut;
}

uint8_t BCC(int32_t lSize, const void* pFrame)
{
    uint8_t check = 0;
    const auto* bytes = static_cast<const unsigned char*>(pFrame);
    for (int32_t i = 0; bytes != nullptr && i < lSize; ++i)
        check ^= bytes[i];
    return static_cast<uint8_t>(check | 0x40);
}

}  // extern "C"
