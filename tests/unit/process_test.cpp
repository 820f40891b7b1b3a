#include "service/linux/process.hpp"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/eventually.hpp"
#include "support/process.hpp"

namespace zembra::service {
namespace {

using zembra::test::ChildBehaviour;
using zembra::test::fork_child;
using Clock = ChildProcess::Clock;

// The outcome of a wait as text, so a failure shows the error.
std::string outcome(const Result<bool>& exited) {
    return exited ? (*exited ? "exited" : "running") : exited.error().text();
}

// `pid` as a child with a process descriptor, or with its id alone.
ChildProcess child_of(pid_t pid, bool with_pidfd) {
    return with_pidfd ? ChildProcess(pid) : ChildProcess(pid, FileDescriptor());
}

class ChildProcessWait : public testing::TestWithParam<bool> {};

TEST_P(ChildProcessWait, QueriesOnceEvenWithoutTime) {
    ChildProcess running = child_of(fork_child(ChildBehaviour::ExitsOnTerm), GetParam());
    const auto begin = Clock::now();
    EXPECT_EQ(outcome(running.wait_for(0ns)), "running");
    EXPECT_LT(Clock::now() - begin, CHILD_POLL_INTERVAL);

    ChildProcess exited = child_of(fork_child(ChildBehaviour::AlreadyExited), GetParam());
    EXPECT_EQ(outcome(exited.wait_for(0ns)), "exited");
    ASSERT_TRUE(exited.exit_status().has_value());
    EXPECT_EQ(exit_status_text(*exited.exit_status()), "exit status: 7");
    // A second wait would fail with ECHILD: the stored status answers instead.
    EXPECT_EQ(outcome(exited.wait_for(0ns)), "exited");

    EXPECT_EQ(outcome(running.kill_and_wait()), "exited");
}

TEST_P(ChildProcessWait, EndsAtTheDeadline) {
    ChildProcess running = child_of(fork_child(ChildBehaviour::IgnoresTerm), GetParam());
    const auto begin = Clock::now();
    EXPECT_EQ(outcome(running.wait_for(100ms)), "running");
    const auto took = Clock::now() - begin;
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 100ms + 3 * CHILD_POLL_INTERVAL);
    EXPECT_EQ(outcome(running.kill_and_wait()), "exited");
}

TEST_P(ChildProcessWait, EndsWhenTheChildExits) {
    ChildProcess child = child_of(fork_child(ChildBehaviour::ExitsOnTerm), GetParam());
    ASSERT_TRUE(child.send_signal(SIGTERM).has_value());
    const auto begin = Clock::now();
    EXPECT_EQ(outcome(child.wait_for(10s)), "exited");
    EXPECT_LT(Clock::now() - begin, 1s);
    EXPECT_EQ(exit_status_text(*child.exit_status()), "signal: 15 (SIGTERM)");
}

INSTANTIATE_TEST_SUITE_P(ProcessDescriptorOrId, ChildProcessWait, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "ProcessDescriptor" : "ProcessId";
                         });

// Whether `pid` is still a child of this process, without reaping it.
bool still_a_child(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

TEST(LeftChildren, AreReapedOnlyOnceTheyHaveExited) {
    const pid_t running = fork_child(ChildBehaviour::ExitsOnTerm);
    const pid_t exited = fork_child(ChildBehaviour::AlreadyExited);
    reap_later(running);
    reap_later(exited);
    reap_left_children();
    EXPECT_FALSE(still_a_child(exited));
    EXPECT_TRUE(still_a_child(running));

    ASSERT_EQ(::kill(running, SIGTERM), 0);
    EXPECT_TRUE(zembra::test::eventually([&] {
        reap_left_children();
        return !still_a_child(running);
    }));
}

}  // namespace
}  // namespace zembra::service
