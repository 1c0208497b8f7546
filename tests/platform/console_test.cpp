// Trace console screen: cells, attributes, single opening.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/platform/runner.h"

namespace {

std::string line_text(int line)
{
    std::string text;
    for (int column = 0; column < kp::kConsoleColumns; ++column)
        text += kp::console_cell(line, column);
    return text;
}

}  // namespace

TEST(PlatformConsole, OpensOnceAndKeepsEightyCellsAndTheColourOfEachLine)
{
    EXPECT_FALSE(kp::console_write_line(0, "x"));  // not open yet
    EXPECT_FALSE(kp::console_set_line_attribute(0, 7));
    // Keeps the Linux viewer FIFO out of the working directory.
    const auto fifo =
        std::filesystem::temp_directory_path() / ("kv-console-" + std::to_string(kp::process_id()));
    kp::put_environment(("KERVAL_CONSOLE=" + fifo.string()).c_str());
    ASSERT_TRUE(kp::console_open("KERVAL - Trace Console"));
    EXPECT_TRUE(kp::console_is_open());
    EXPECT_FALSE(kp::console_open("again"));

    ASSERT_TRUE(kp::console_write_line(0, "first"));
    ASSERT_TRUE(kp::console_write_line(0, "ab"));
    EXPECT_EQ(line_text(0), "ab" + std::string(78, ' '));
    ASSERT_TRUE(kp::console_write_line(49, std::string(100, 'x').c_str()));
    EXPECT_EQ(line_text(49), std::string(80, 'x'));
    EXPECT_FALSE(kp::console_write_line(50, "out of range"));
    EXPECT_FALSE(kp::console_write_line(-1, "out of range"));

    ASSERT_TRUE(kp::console_set_line_attribute(49, 76));
    ASSERT_TRUE(kp::console_set_line_attribute(2, 6));
    for (int column = 0; column < kp::kConsoleColumns; ++column) {
        EXPECT_EQ(kp::console_attribute(49, column), 76);
        EXPECT_EQ(kp::console_attribute(2, column), 6);
    }
    EXPECT_EQ(line_text(49), std::string(80, 'x'));  // text unchanged by the colour
}
