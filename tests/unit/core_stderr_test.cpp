#include "service/hub/core/stderr_reader.hpp"

#include <algorithm>

#include "core_fixture.hpp"
#include "service/hub/api/logs_request.hpp"
#include "service/hub/core/stop.hpp"
#include "support/footprint.hpp"
#include "support/threads.hpp"

namespace zembra::hub::test {
namespace {

class CoreStderr : public CoreFixture {
  protected:
    // Starts a Core that writes the line "before", closes its stderr, then runs `then` (fake
    // Core commands); its pid once the line is in, or 0.
    pid_t start_closing_stderr(const std::string& then) {
        const std::string address = owner_socket();
        set_mode(address, "print before\\n\nclose-stderr\n" + then);
        if (!start(address, SESSION_A).has_value() || !wait_for_log("before")) return 0;
        return slot_pid();
    }
};

// True while `pid` is a child of this process that has not been reaped, zombie or not. The
// child is left as it is.
bool unreaped(pid_t pid) {
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

struct ExitCase {
    const char* name;
    std::string mode;
    std::vector<std::string> lines;
};

std::vector<ExitCase> exit_cases() {
    return {
        {.name = "ExitCode",
         .mode = "print bye\\n\nexit 3\n",
         .lines = {"bye", "Core exited on its own: exit status: 3"}},
        {.name = "LineEndings",
         .mode = "print a\\r\\nb\\rc\\n\\n\nprint last\\r\nexit 0\n",
         .lines = {"a", "b\rc", "", "last\r", "Core exited on its own: exit status: 0"}},
        {.name = "EndlessLineIsCapped",
         .mode = "long 1048576\nprint after\\n\nexit 1\n",
         .lines = {std::string(StderrLines::MAX_LINE, 'a'), "after",
                   "Core exited on its own: exit status: 1"}},
    };
}

void PrintTo(const ExitCase& c, std::ostream* out) {
    *out << c.name;
}

class CoreStderrExit : public CoreFixture, public testing::WithParamInterface<ExitCase> {};

TEST_P(CoreStderrExit, CapturesLinesThenReapsACoreThatExitsByItself) {
    const ExitCase& c = GetParam();
    const std::string address = owner_socket();
    set_mode(address, c.mode);
    ASSERT_TRUE(start(address, SESSION_A).has_value());
    EXPECT_TRUE(eventually([&] { return log_lines() == c.lines; }))
        << log_lines().size() << " lines";
    EXPECT_EQ(slot_pid(), 0);
    EXPECT_EQ(stop_core(StopParams{SESSION_A}), StopOutcome::NotRunning);
}

INSTANTIATE_TEST_SUITE_P(Cases, CoreStderrExit, testing::ValuesIn(exit_cases()),
                         [](const testing::TestParamInfo<ExitCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(CoreStderr, KeepsTheNewestLinesOfAChattyCore) {
    const std::string address = owner_socket();
    set_mode(address, "lines 2000\nexit 0\n");
    ASSERT_TRUE(start(address, SESSION_A).has_value());
    std::string expected;
    for (int i = 1902; i <= 2000; ++i)
        expected += "line " + std::to_string(i) + "\n";
    expected += "Core exited on its own: exit status: 0";
    EXPECT_TRUE(eventually([&] { return get_logs().body == expected; }));
}

TEST_F(CoreStderr, InvalidUtf8EndsTheCapture) {
    const std::string address = owner_socket();
    set_mode(address, "print good\\n\nprint bad\\xff\\n\nsleep 100\nprint later\\n\n");
    ASSERT_TRUE(start(address, SESSION_A).has_value());
    ASSERT_TRUE(wait_for_log("good"));
    std::this_thread::sleep_for(500ms);
    const std::vector<std::string> lines = log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "good");
    // Writing into the closed pipe may kill the Core with SIGPIPE; nothing else may follow.
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], "Core exited on its own: signal: 13 (SIGPIPE)");
}

TEST_F(CoreStderr, LeavesARunningCoreWhoseStderrClosedInTheSlot) {
    const std::size_t threads_before = zembra::test::os_threads_baseline();
    const pid_t pid = start_closing_stderr("");
    ASSERT_NE(pid, 0);
    // Past the reader's 1.5 s reap window.
    std::this_thread::sleep_for(1800ms);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"before"});
    EXPECT_EQ(slot_pid(), pid);
    EXPECT_TRUE(process_exists(pid));

    // The reader still watching it ends with the stop.
    EXPECT_EQ(stop_core(StopParams{SESSION_A}), StopOutcome::Stopped);
    EXPECT_TRUE(eventually([&] { return zembra::test::os_threads() <= threads_before; }));
}

// Each start stops the Core before it, and that Core's reader ends with its Core: however many
// starts follow each other under one session, the live Core's reader and one finishing are all.
TEST_F(CoreStderr, AReplacedCoresReaderEndsWithItsCore) {
    const std::string address = owner_socket();
    std::size_t most_readers = 0;
    for (int start_number = 0; start_number < 20; ++start_number) {
        ASSERT_TRUE(start(address, SESSION_A).has_value());
        most_readers =
            std::max(most_readers, zembra::test::threads_named(::getpid(), "core-stderr"));
    }
    EXPECT_LE(most_readers, 2u);
    EXPECT_TRUE(
        eventually([] { return zembra::test::threads_named(::getpid(), "core-stderr") == 1; }));
    EXPECT_EQ(stop_core(StopParams{SESSION_A}), StopOutcome::Stopped);
    EXPECT_TRUE(
        eventually([] { return zembra::test::threads_named(::getpid(), "core-stderr") == 0; }));
}

TEST_F(CoreStderr, ReapsACoreThatExitsLongAfterClosingItsStderr) {
    const std::size_t threads_before = zembra::test::os_threads_baseline();
    const pid_t pid = start_closing_stderr("sleep 2500\nexit 4\n");
    ASSERT_NE(pid, 0);
    EXPECT_TRUE(eventually([&] { return !unreaped(pid); }, 10s)) << "left a zombie";
    EXPECT_TRUE(eventually([&] { return zembra::test::os_threads() <= threads_before; }, 10s))
        << zembra::test::os_threads() << " threads, " << threads_before << " before";

    // Reaped as a status query reaps: the record keeps the status, nothing is logged, and the
    // stop answers as it would have had it reaped the Core itself.
    {
        auto slot = service::lock_surviving_poison(MANAGED_CORE);
        ASSERT_TRUE(slot->has_value());
        EXPECT_EQ((*slot)->child.pid(), pid);
        const std::optional<int> status = (*slot)->child.exit_status();
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(exit_status_text(*status), "exit status: 4");
    }
    EXPECT_EQ(stop_core(StopParams{SESSION_A}), StopOutcome::Stopped);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"before"});
}

}  // namespace
}  // namespace zembra::hub::test
