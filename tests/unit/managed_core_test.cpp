#include "service/hub/managed_core.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>

#include "core_fixture.hpp"

namespace zembra::hub::test {
namespace {

enum class Child { ExitsOnTerm, IgnoresTerm, AlreadyExited };

// A plain child of this process; returns once it is in the state `kind` names.
pid_t fork_child(Child kind) {
    int ready[2];
    EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (kind == Child::AlreadyExited) ::_exit(7);
        if (kind == Child::IgnoresTerm) ::signal(SIGTERM, SIG_IGN);
        [[maybe_unused]] const ssize_t n = ::write(ready[1], "r", 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    if (kind == Child::AlreadyExited) {
        siginfo_t info;
        EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    } else {
        char byte;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    }
    ::close(ready[0]);
    return pid;
}

// The outcome of a wait as text, so a failure shows the error.
std::string outcome(const Result<bool>& exited) {
    return exited ? (*exited ? "exited" : "running") : exited.error().text();
}

service::FileDescriptor pidfd_of(pid_t pid) {
    return service::FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

CoreSlot slot_with(pid_t pid) {
    return ManagedCore{SESSION_A, ChildProcess(pid, pidfd_of(pid))};
}

using ManagedCoreTest = CoreFixture;

TEST_F(ManagedCoreTest, ReleasingAnEmptySlotSucceedsAtOnce) {
    CoreSlot slot;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(release_managed_core(slot).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5ms);
}

TEST_F(ManagedCoreTest, ReleaseEscalatesOnlyAsFarAsNeeded) {
    struct Case {
        const char* name;
        Child child;
        std::chrono::milliseconds at_least, at_most;
    };
    static constexpr Case CASES[] = {
        {"exits on SIGTERM", Child::ExitsOnTerm, 0ms, 500ms},
        {"ignores SIGTERM", Child::IgnoresTerm, 3000ms, 3500ms},
        {"exited before the release", Child::AlreadyExited, 0ms, 100ms},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        for (const bool with_pidfd : {true, false}) {
            SCOPED_TRACE(with_pidfd ? "process descriptor" : "process id");
            const pid_t pid = fork_child(c.child);
            CoreSlot slot = ManagedCore{
                SESSION_A,
                ChildProcess(pid, with_pidfd ? pidfd_of(pid) : service::FileDescriptor())};
            const auto begin = std::chrono::steady_clock::now();
            const Result<void> released = release_managed_core(slot);
            const auto took = std::chrono::steady_clock::now() - begin;
            std::cout << "[ figure ] release, child " << c.name
                      << (with_pidfd ? " (pidfd)" : " (pid)") << ": "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                      << " ms\n";
            EXPECT_TRUE(released.has_value());
            EXPECT_FALSE(slot.has_value());
            EXPECT_GE(took, c.at_least);
            EXPECT_LE(took, c.at_most);
            EXPECT_FALSE(process_exists(pid));
        }
    }
}

TEST_F(ManagedCoreTest, AFailedReleaseKeepsTheRecord) {
    CoreSlot slot = reaped_core_record(SESSION_A);
    const pid_t pid = slot->child.pid();
    const Result<void> released = release_managed_core(slot);
    ASSERT_FALSE(released.has_value());
    EXPECT_EQ(released.error().text(), NO_CHILD_TEXT);
    ASSERT_TRUE(slot.has_value());
    EXPECT_EQ(slot->child.pid(), pid);
}

TEST_F(ManagedCoreTest, WaitForExitQueriesOnceEvenWithoutTime) {
    CoreSlot running = slot_with(fork_child(Child::ExitsOnTerm));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome(running->wait_for_exit(0ns)), "running");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, CORE_POLL_INTERVAL);

    CoreSlot exited = slot_with(fork_child(Child::AlreadyExited));
    EXPECT_EQ(outcome(exited->wait_for_exit(0ns)), "exited");
    ASSERT_TRUE(exited->child.exit_status().has_value());
    EXPECT_EQ(exit_status_text(*exited->child.exit_status()), "exit status: 7");
    // A second wait would fail with ECHILD: the stored status answers instead.
    EXPECT_EQ(outcome(exited->wait_for_exit(0ns)), "exited");

    EXPECT_TRUE(release_managed_core(running).has_value());
}

TEST_F(ManagedCoreTest, WaitForExitPollsUntilTheDeadline) {
    CoreSlot running = slot_with(fork_child(Child::ExitsOnTerm));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome(running->wait_for_exit(100ms)), "running");
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 100ms + 3 * CORE_POLL_INTERVAL);
    EXPECT_TRUE(release_managed_core(running).has_value());
}

}  // namespace
}  // namespace zembra::hub::test
