#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kerval/kerval.h"
#include "tests/support/fixtures.h"
#include "tests/support/report_fixtures.h"

namespace {

// Twenty bytes: a full line of 16, then 4 with a line feed, a control byte, a space and 0xE9.
const unsigned char kFrame[20] = {0x02, 0x41, 0x42, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x30, 0x31,
                                  0x5A, 0x61, 0x10, 0x1B, 0x2E, 0x39, 0x0A, 0x1F, 0x20, 0xE9};

const std::string kDump =
    "len=20\n"
    "02 41 42 7E 7F 80 FF 00 30 31 5A 61 10 1B 2E 39 \t.AB~\x7F\x80\xFF.01Za...9\n"
    "0A 1F 20 E9 " +
    std::string(36, ' ') + "\t.. \xE9" + std::string(12, ' ') + "\n";

class FrameDump : public kvtest::TempDirTest {};

TEST_F(FrameDump, StreamGetsTheExactLayout)
{
    std::FILE* stream = std::fopen("dump.txt", "wb");
    ASSERT_NE(nullptr, stream);
    const std::string out =
        kvtest::CaptureStdoutOf([&] { PrintTrameDebug(kFrame, 20, stream, 0); });
    std::fclose(stream);
    EXPECT_EQ(kDump, kvtest::ReadBinaryFile("dump.txt"));
    EXPECT_EQ("", out);
}

TEST_F(FrameDump, StandardOutputGetsTheSameLinesWhenAsked)
{
    const std::string out =
        kvtest::CaptureStdoutOf([] { PrintTrameDebug(kFrame, 20, nullptr, 1); });
    EXPECT_EQ(kDump, out);
}

TEST_F(FrameDump, WholeLinesNeedNoPaddingAndEmptyFrameOnlyHasItsLength)
{
    unsigned char frame[32];
    for (int i = 0; i < 32; ++i)
        frame[i] = static_cast<unsigned char>('A' + i % 26);
    const std::string out = kvtest::CaptureStdoutOf([&] {
        PrintTrameDebug(frame, 32, nullptr, 1);
        PrintTrameDebug(frame, 0, nullptr, 1);
    });
    EXPECT_EQ(
        "len=32\n"
        "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 \tABCDEFGHIJKLMNOP\n"
        "51 52 53 54 55 56 57 58 59 5A 41 42 43 44 45 46 \tQRSTUVWXYZABCDEF\n"
        "len=0\n",
        out);
}

TEST(BinaryText, EveryByteGivesItsEightBitsMostSignificantFirst)
{
    for (int value = 0; value < 256; ++value) {
        char out[9] = "########";
        ASSERT_EQ(out, FmtBinaire(static_cast<uint8_t>(value), out));
        std::string expected;
        for (int bit = 7; bit >= 0; --bit)
            expected += ((value >> bit) & 1) ? '1' : '0';
        EXPECT_EQ(expected, std::string(out)) << value;
    }
    char out[9];
    EXPECT_STREQ("01000001", FmtBinaire(0x41, out));
}

TEST(CheckByte, XorOfTheFrameWithBitSixSet)
{
    const unsigned char stx_frame[] = {0x02, 0x31, 0x03};
    EXPECT_EQ(0x70, BCC(3, stx_frame));
    const unsigned char ff = 0xFF;
    EXPECT_EQ(0xFF, BCC(1, &ff));
    EXPECT_EQ(0x40, BCC(0, stx_frame));
    EXPECT_EQ(0x40, BCC(-4, stx_frame));
    EXPECT_EQ(0x40 | 0x02, BCC(1, stx_frame));
    std::string big(70001, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + 7);
    unsigned char expected = 0;
    for (char c : big)
        expected = static_cast<unsigned char>(expected ^ static_cast<unsigned char>(c));
    EXPECT_EQ(expected | 0x40, BCC(static_cast<int32_t>(big.size()), big.data()));
}

}  // namespace
