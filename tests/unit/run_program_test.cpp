#include "service/linux/run_program.hpp"

#include <signal.h>

#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace zembra::service {
namespace {

constexpr ProgramStdio CAPTURE_ALL = {ProgramInput::Null, ProgramOutput::Capture,
                                      ProgramOutput::Capture};

TEST(RunProgram, CapturesBothStreamsPastAPipeFull) {
    // Each stream alone overfills a pipe: reading one after the other would deadlock.
    const Result<FinishedProgram> child =
        run_program({"sh", "-c", "head -c 300000 /dev/zero >&2; head -c 200000 /dev/zero; exit 3"},
                    CAPTURE_ALL);
    ASSERT_TRUE(child) << child.error().text();
    EXPECT_EQ(child->out.size(), 200000u);
    EXPECT_EQ(child->err.size(), 300000u);
    EXPECT_EQ(exit_status_text(child->wait_status), "exit status: 3");
    EXPECT_FALSE(exited_successfully(child->wait_status));
}

TEST(RunProgram, NoEndOfTheCapturePipesLeaksIntoTheChild) {
    const Result<FinishedProgram> child = run_program(
        {"sh", "-c", "cd /proc/$$/fd && for fd in *; do echo $fd $(readlink $fd); done"},
        CAPTURE_ALL);
    ASSERT_TRUE(child) << child.error().text();
    std::map<std::string, std::string> targets;  // fd -> what it refers to
    std::multiset<std::string> seen;
    std::istringstream lines(child->out);
    for (std::string fd, target; lines >> fd >> target;) {
        targets[fd] = target;
        seen.insert(target);
    }
    EXPECT_EQ(targets["0"], "/dev/null");
    // Both ends of a pipe show the same inode: a leaked read end would show up twice.
    EXPECT_TRUE(targets["1"].starts_with("pipe:")) << child->out;
    EXPECT_EQ(seen.count(targets["1"]), 1u) << child->out;
    EXPECT_EQ(seen.count(targets["2"]), 1u) << child->out;
}

TEST(RunProgram, ChildStartsWithDefaultSignalHandling) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    const auto previous_pipe = ::signal(SIGPIPE, SIG_IGN);
    const Result<FinishedProgram> child =
        run_program({"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}, CAPTURE_ALL);
    ::signal(SIGPIPE, previous_pipe);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(child) << child.error().text();
    std::istringstream status(child->out);
    std::string blocked_label, blocked_mask, ignored_label, ignored_mask;
    status >> blocked_label >> blocked_mask >> ignored_label >> ignored_mask;
    EXPECT_EQ(std::stoull(blocked_mask, nullptr, 16), 0u) << child->out;
    // glibc keeps its two internal real-time signals (32, 33) to itself; 1 to 31 must be clear.
    EXPECT_EQ(std::stoull(ignored_mask, nullptr, 16) & 0x7fffffffu, 0u) << child->out;
}

TEST(RunProgram, DiscardedOutputIsNotCaptured) {
    const Result<FinishedProgram> child =
        run_program({"sh", "-c", "echo out; echo err >&2"},
                    {ProgramInput::Null, ProgramOutput::Discard, ProgramOutput::Discard});
    ASSERT_TRUE(child) << child.error().text();
    EXPECT_EQ(child->out, "");
    EXPECT_EQ(child->err, "");
    EXPECT_TRUE(exited_successfully(child->wait_status));
}

TEST(RunProgram, MissingProgramIsAnOsError) {
    const Result<FinishedProgram> child = run_program({"zembra-no-such-program"}, CAPTURE_ALL);
    ASSERT_FALSE(child);
    EXPECT_EQ(child.error().os_error(), ENOENT);
}

}  // namespace
}  // namespace zembra::service
