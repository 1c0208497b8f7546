#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kerval/kerval.h"
#include "tests/support/fixtures.h"
#include "tests/support/report_fixtures.h"

namespace {

// Standard input of this test process comes from a file written by the test.
class ConsoleInput : public kvtest::TempDirTest {
protected:
    void Feed(const std::string& bytes)
    {
        kvtest::WriteBinaryFile("input.txt", bytes);
        ASSERT_NE(nullptr, std::freopen("input.txt", "r", stdin));
    }
};

TEST_F(ConsoleInput, LinesComeWithoutTheirLineBreakThenNullAtTheEnd)
{
    Feed("first line\nsecond\r\n\nlast without break");
    char buffer[KV_INPUT_STRING_MAX];
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_STREQ("first line", buffer);
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_STREQ("second", buffer);
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_STREQ("", buffer);
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_STREQ("last without break", buffer);
    EXPECT_EQ(nullptr, InputString(buffer));
}

TEST_F(ConsoleInput, LongLinesAreCutToTheBufferAndTheirRestDropped)
{
    const std::string exact(KV_INPUT_STRING_MAX - 1, 'e');
    const std::string longer(1000, 'L');
    Feed(exact + "\n" + longer + "\nnext\n" + std::string(KV_INPUT_STRING_MAX, 'x') + "\r\nend\n");
    char buffer[KV_INPUT_STRING_MAX + 32];
    std::memset(buffer, '#', sizeof buffer);
    const std::string guard(32, '#');
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_EQ(exact, std::string(buffer));
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_EQ(longer.substr(0, KV_INPUT_STRING_MAX - 1), std::string(buffer));
    EXPECT_EQ(guard, std::string(buffer + KV_INPUT_STRING_MAX, 32));
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_STREQ("next", buffer);
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_EQ(std::string(KV_INPUT_STRING_MAX - 1, 'x'), std::string(buffer));
    ASSERT_EQ(buffer, InputString(buffer));
    EXPECT_STREQ("end", buffer);
    EXPECT_EQ(guard, std::string(buffer + KV_INPUT_STRING_MAX, 32));
}

TEST_F(ConsoleInput, KeysComeOneByOneThenEndOfInput)
{
    Feed("az");
    EXPECT_EQ('a', InputChar());
    EXPECT_EQ('z', InputChar());
    EXPECT_EQ(-1, InputChar());
}

TEST_F(ConsoleInput, MenuChoiceEchoesTheDigitOrZero)
{
    Feed("7a");
    int16_t first = -1, second = -1, third = -1;
    const std::string out = kvtest::CaptureStdoutOf([&] {
        first = InputMenuChoice();
        second = InputMenuChoice();
        third = InputMenuChoice();
    });
    EXPECT_EQ(7, first);
    EXPECT_EQ(0, second);
    EXPECT_EQ(0, third);
    EXPECT_EQ("\nVotre choix : 7\n\nVotre choix : 0\n\nVotre choix : 0\n", out);
}

}  // namespace
