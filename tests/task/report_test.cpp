// The thread time report: line layout, table layout, the four sorted orders and the menu.
#include "tests/support/tasks.h"

using ::testing::StartsWith;

namespace {

using ThreadReport = TaskTest;

std::atomic<bool> g_busy_done{false};

struct Row {
    std::string name;
    long id, kernel, user;
};

std::vector<Row> RowsOf(const std::string& table) {
    std::vector<Row> rows;
    std::istringstream in(table);
    std::string line;
    for (std::getline(in, line); std::getline(in, line) && line.size() > 30;) {
        Row row{line.substr(0, 30), 0, 0, 0};
        std::istringstream(line.substr(30)) >> row.id >> row.kernel >> row.user;
        rows.push_back(row);
    }
    return rows;
}

TEST_F(ThreadReport, LinesTablesAndSortedOrders) {
    ASSERT_GT(StartTask(std::string(40, 'L').c_str(), [] { WaitAlways(); }), 0);
    StartTask("BUSY", [] {  // spends at least 30 ms of its own processor time, then waits
        volatile uint64_t sink = 0;
        for (uint64_t kernel = 0, user = 0; user + kernel < 300000;) {
            for (int i = 0; i < 100000; ++i) sink = sink + static_cast<uint64_t>(i);
            kp::thread_times(kp::thread_current(), &kernel, &user);
        }
        g_busy_done = true;
        WaitAlways();
    });
    ASSERT_TRUE(WaitFor([] { return g_busy_done.load(); }));

    const std::string lines = CaptureStdoutOf([] { DisplayInfoThread(); });
    EXPECT_THAT(lines, StartsWith("Task=<                       INITJOB>; Id=<"));
    EXPECT_THAT(lines, HasSubstr("Task=<" + std::string(30, 'L') + ">; Id=<"));
    EXPECT_THAT(lines, HasSubstr("> ms; UserTime=<"));

    const StdinFrom keys("keys.txt", "7123450");  // 7 shows the menu again; 0 ends
    const std::string out = CaptureStdoutOf([] { EXPECT_EQ(0, PrintInfoThread()); });
    const std::string heading =
        std::string(26, ' ') + "NAME\t\tID\tKERNEL-Time(ms)\tUSER-Time(ms)\n";
    std::vector<std::vector<Row>> tables;
    for (size_t at = out.find(heading); at != std::string::npos; at = out.find(heading, at + 1))
        tables.push_back(RowsOf(out.substr(at)));
    ASSERT_EQ(5u, tables.size());
    EXPECT_EQ(7, std::count(out.begin(), out.end(), 'Q'));  // the menu, shown 7 times
    const auto& plain = tables[0];
    EXPECT_EQ(std::string(23, ' ') + "INITJOB", plain.front().name);
    const auto rank = [&](const Row& r) {
        return std::ranges::find(plain, r.name, &Row::name) - plain.begin();
    };
    // Ascending, and equal keys in task-table order.
    const auto sorted_by = [&](const std::vector<Row>& printed, auto key) {
        std::vector<Row> t = printed;
        std::ranges::sort(t, {}, [&](const Row& r) { return std::make_pair(key(r), rank(r)); });
        return t.size() == plain.size() &&
               std::ranges::equal(t, printed, {}, &Row::name, &Row::name);
    };
    EXPECT_TRUE(sorted_by(tables[1], [](const Row& r) { return r.kernel; }));
    EXPECT_TRUE(sorted_by(tables[2], [](const Row& r) { return r.user; }));
    EXPECT_TRUE(sorted_by(tables[3], [](const Row& r) {
        return r.name.substr(r.name.find_first_not_of(' '));  // names are right-aligned
    }));
    EXPECT_TRUE(sorted_by(tables[4], [](const Row& r) { return r.id; }));
    const auto busy_row = std::ranges::find(plain, std::string(26, ' ') + "BUSY", &Row::name);
    ASSERT_NE(plain.end(), busy_row);
    EXPECT_GE(busy_row->kernel + busy_row->user, 29);
}

}  // namespace
