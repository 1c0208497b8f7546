// Frame dump, check byte, bits as text, and keyboard input from a redirected standard input.
#include <bitset>

#include "tests/support/fixtures.h"

namespace {

using Console = TempDirTest;

// A full line of 16 bytes then 4 with LF, a control byte, a space and 0xE9; whole lines; none.
TEST_F(Console, FrameDumpHasTheExactLayoutOnTheStreamOrStandardOutput) {
    const unsigned char frame[20] = {0x02, 0x41, 0x42, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x30, 0x31,
                                     0x5A, 0x61, 0x10, 0x1B, 0x2E, 0x39, 0x0A, 0x1F, 0x20, 0xE9};
    const std::string dump =
        "len=20\n02 41 42 7E 7F 80 FF 00 30 31 5A 61 10 1B 2E 39 \t.AB~\x7F\x80\xFF.01Za...9\n"
        "0A 1F 20 E9 " +
        std::string(36, ' ') + "\t.. \xE9" + std::string(12, ' ') + "\n";
    std::FILE* stream = std::fopen("dump.txt", "wb");
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ("", CaptureStdoutOf([&] { PrintTrameDebug(frame, 20, stream, 0); }));
    std::fclose(stream);
    EXPECT_EQ(dump, ReadBinaryFile("dump.txt"));
    EXPECT_EQ(dump, CaptureStdoutOf([&] { PrintTrameDebug(frame, 20, nullptr, 1); }));
    const unsigned char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEF";
    EXPECT_EQ(
        "len=32\n"
        "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 \tABCDEFGHIJKLMNOP\n"
        "51 52 53 54 55 56 57 58 59 5A 41 42 43 44 45 46 \tQRSTUVWXYZABCDEF\nlen=0\n",
        CaptureStdoutOf([&] {
            PrintTrameDebug(letters, 32, nullptr, 1);
            PrintTrameDebug(letters, 0, nullptr, 1);
        }));
}

TEST(ConsoleText, BinaryTextAndCheckByte) {
    for (int value = 0; value < 256; ++value) {
        char out[9] = "########";
        EXPECT_EQ(std::bitset<8>(value).to_string(), FmtBinaire(static_cast<uint8_t>(value), out));
    }
    const unsigned char stx_frame[] = {0x02, 0x31, 0x03};
    EXPECT_EQ(0x70, BCC(3, stx_frame));
    EXPECT_EQ(0x40, BCC(-4, stx_frame));
    const std::string big = std::string(70000, 'Z') + '!';  // longer than 16 bits count
    EXPECT_EQ(0x21 | 0x40, BCC(static_cast<int32_t>(big.size()), big.data()));
}

// Lines lose their line break; a longer line is cut to the buffer and its rest consumed.
TEST_F(Console, LinesAreReadWithoutBreakAndCutToTheBuffer) {
    const std::string exact(KV_INPUT_STRING_MAX - 1, 'e'), longer(1000, 'L');
    const StdinFrom input("input.txt", "first line\nsecond\r\n\n" + exact + "\n" + longer +
                                           "\nnext\n" + std::string(KV_INPUT_STRING_MAX, 'x') +
                                           "\r\nlast without break");
    const std::string cut = longer.substr(0, KV_INPUT_STRING_MAX - 1),
                      x(KV_INPUT_STRING_MAX - 1, 'x');
    const std::string expected[] = {"first line", "second", "", exact,
                                    cut,          "next",   x,  "last without break"};
    char buffer[KV_INPUT_STRING_MAX + 32];
    std::memset(buffer, '#', sizeof buffer);
    for (const std::string& line : expected) {
        ASSERT_EQ(buffer, InputString(buffer));
        EXPECT_EQ(line, std::string(buffer));
        EXPECT_EQ(std::string(32, '#'), std::string(buffer + KV_INPUT_STRING_MAX, 32));
    }
    EXPECT_EQ(nullptr, InputString(buffer));
}

// Keys one by one; a menu choice echoes the digit, or 0 for anything else and at the end.
TEST_F(Console, KeysAndMenuChoicesComeFromStandardInput) {
    const StdinFrom input("input.txt", "az7a");
    EXPECT_EQ('a', InputChar());
    EXPECT_EQ('z', InputChar());
    int16_t choices[3] = {-1, -1, -1};
    EXPECT_EQ("\nVotre choix : 7\n\nVotre choix : 0\n\nVotre choix : 0\n", CaptureStdoutOf([&] {
                  for (int16_t& choice : choices) choice = InputMenuChoice();
              }));
    EXPECT_EQ(700, choices[0] * 100 + choices[1] * 10 + choices[2]);
    EXPECT_EQ(-1, InputChar());
}

}  // namespace
