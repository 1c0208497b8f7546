// Trace console screen: cells, attributes, single opening; keyboard input at end of input.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kerval/platform/platform.h"

namespace kp = kerval::platform;

namespace {

void open_console()
{
    // Keeps the Linux viewer FIFO out of the working directory.
    const auto fifo =
        std::filesystem::temp_directory_path() / ("kv-console-" + std::to_string(kp::process_id()));
    kp::put_environment(("KERVAL_CONSOLE=" + fifo.string()).c_str());
    ASSERT_TRUE(kp::console_open("KERVAL - Trace Console"));
}

std::string line_text(int line)
{
    std::string text;
    for (int column = 0; column < kp::kConsoleColumns; ++column) {
        text += kp::console_cell(line, column);
    }
    return text;
}

}  // namespace

TEST(PlatformConsole, OpensOnceOnly)
{
    EXPECT_FALSE(kp::console_is_open());
    open_console();
    EXPECT_TRUE(kp::console_is_open());
    EXPECT_FALSE(kp::console_open("again"));
}

TEST(PlatformConsole, LinesArePaddedOrCutToEightyCells)
{
    open_console();
    ASSERT_TRUE(kp::console_write_line(0, "first"));
    EXPECT_EQ(line_text(0), "first" + std::string(75, ' '));
    const std::string long_text(100, 'x');
    ASSERT_TRUE(kp::console_write_line(49, long_text.c_str()));
    EXPECT_EQ(line_text(49), std::string(80, 'x'));
    ASSERT_TRUE(kp::console_write_line(0, "ab"));
    EXPECT_EQ(line_text(0), "ab" + std::string(78, ' '));
    EXPECT_FALSE(kp::console_write_line(50, "out of range"));
    EXPECT_FALSE(kp::console_write_line(-1, "out of range"));
}

TEST(PlatformConsole, LineAttributeColoursEveryCellOfTheLine)
{
    open_console();
    ASSERT_TRUE(kp::console_write_line(3, "newest"));
    ASSERT_TRUE(kp::console_set_line_attribute(3, 76));
    ASSERT_TRUE(kp::console_set_line_attribute(2, 6));
    for (int column = 0; column < kp::kConsoleColumns; ++column) {
        EXPECT_EQ(kp::console_attribute(3, column), 76);
        EXPECT_EQ(kp::console_attribute(2, column), 6);
    }
    EXPECT_EQ(line_text(3).substr(0, 6), "newest");  // text unchanged by the colour
}

TEST(PlatformConsole, WritesFailBeforeOpening)
{
    EXPECT_FALSE(kp::console_write_line(0, "x"));
    EXPECT_FALSE(kp::console_set_line_attribute(0, 7));
}
