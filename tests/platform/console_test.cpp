// Trace console screen: cells, attributes, single opening. The cut to the width and the ring of
// lines are proven through the trace log tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/platform/runner.h"

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
    for (int line : {-1, 50})
        EXPECT_FALSE(kp::console_write_line(line, "out of range")) << line;

    ASSERT_TRUE(kp::console_write_line(49, "first"));
    ASSERT_TRUE(kp::console_write_line(49, "ab"));
    ASSERT_TRUE(kp::console_set_line_attribute(49, 76));
    ASSERT_TRUE(kp::console_set_line_attribute(2, 6));
    std::string text;
    for (int column = 0; column < kp::kConsoleColumns; ++column) {
        text += kp::console_cell(49, column);
        EXPECT_EQ(kp::console_attribute(49, column) * 100 + kp::console_attribute(2, column), 7606);
    }
    EXPECT_EQ(text, "ab" + std::string(78, ' '));  // padded, and unchanged by the colour
    std::filesystem::remove(fifo);
}
