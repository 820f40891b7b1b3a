#include "service/hub/core/start.hpp"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <utility>

#include "core_fixture.hpp"
#include "service/hub/core/launch.hpp"
#include "service/hub/core/stop.hpp"
#include "service/hub/core/verification.hpp"

namespace zembra::hub::test {
namespace {

using CoreStart = CoreFixture;

TEST_F(CoreStart, RefusesMalformedInputsBeforeTouchingTheSlot) {
    struct Case {
        const char* address;
        const char* session;
        const char* message;
    };
    static constexpr const char* BAD_ADDRESS = "invalid Core address";
    static constexpr const char* BAD_SESSION = "invalid Core session ID";
    static constexpr const char* MISSING = "No such file or directory (os error 2)";
    static constexpr Case CASES[] = {
        {"/tmp/MorvikSocket_.sock", SESSION_A, BAD_ADDRESS},
        {"/tmp/MorvikSocket_12345678901.sock", SESSION_A, BAD_ADDRESS},
        {"/tmp/MorvikSocket_1.sock/", SESSION_A, BAD_ADDRESS},
        {"/var/MorvikSocket_1.sock", SESSION_A, BAD_ADDRESS},
        {"/tmp/MorvikSocket_1a.sock", SESSION_A, BAD_ADDRESS},
        {"/tmp/MorvikSocket_1.SOCK", SESSION_A, BAD_ADDRESS},
        {"/tmp/MorvikSocket_-1.sock", SESSION_A, BAD_ADDRESS},
        {"", "", BAD_ADDRESS},
        {"/tmp/MorvikSocket_1.sock", "0123456789ABCDEF0123456789abcdef", BAD_SESSION},
        {"/tmp/MorvikSocket_1.sock", "0123456789abcdef0123456789abcde", BAD_SESSION},
        {"/tmp/MorvikSocket_1.sock", "0123456789abcdef0123456789abcdef0", BAD_SESSION},
        {"/tmp/MorvikSocket_1.sock", "0123456789abcdef0123456789abcdeg", BAD_SESSION},
        {"/tmp/MorvikSocket_7.sock", SESSION_A, MISSING},
        {"/tmp/MorvikSocket_1234567890.sock", SESSION_A, MISSING},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(std::string(c.address) + " " + c.session);
        EXPECT_EQ(refusal(start(c.address, c.session)),
                  (Refused{CoreErrorKind::InvalidInput, c.message}));
    }
    EXPECT_EQ(slot_pid(), 0);
}

TEST_F(CoreStart, RefusesAddressesThatAreNotTheOwnersSocket) {
    const std::string owners = owner_socket("1");
    const std::string others = owner_socket("2", OWNER_UID + 1);
    const std::string link = "/tmp/MorvikSocket_3.sock";
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(owners.c_str(), link.c_str()), 0);
    const std::string regular = "/tmp/MorvikSocket_4.sock";
    std::ofstream(regular) << "x";
    ASSERT_EQ(::chown(regular.c_str(), OWNER_UID, OWNER_GID), 0);
    for (const std::string& address : {others, link, regular}) {
        SCOPED_TRACE(address);
        EXPECT_EQ(refusal(start(address, SESSION_A)),
                  (Refused{CoreErrorKind::InvalidInput,
                           "Core address is not a socket owned by the Helper owner"}));
    }
    EXPECT_EQ(slot_pid(), 0);
}

TEST_F(CoreStart, RefusesWithoutOwnerIds) {
    const std::string address = owner_socket();
    ::unsetenv(service::OWNER_GID_VARIABLE);
    const std::string expected = service::owner_from_env().error().text();
    EXPECT_EQ(refusal(start(address, SESSION_A)), (Refused{CoreErrorKind::InvalidInput, expected}));
}

TEST_F(CoreStart, RefusesOnceTheHelperIsStopping) {
    const std::string address = owner_socket();
    SHUTTING_DOWN = true;
    EXPECT_EQ(refusal(start(address, SESSION_A)),
              (Refused{CoreErrorKind::HelperStopping, "the Helper is shutting down"}));
    EXPECT_EQ(slot_pid(), 0);
}

TEST_F(CoreStart, KeepsTheOldRecordWhenItCannotBeReleased) {
    *service::lock_surviving_poison(MANAGED_CORE) = reaped_core_record(SESSION_B);
    const pid_t old = slot_pid();
    const auto started = start(owner_socket(), SESSION_A);
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(refusal(started), (Refused{CoreErrorKind::StopFailed, NO_CHILD_TEXT}));
    EXPECT_EQ(started.error().error.os_error(), ECHILD);
    EXPECT_EQ(log_lines(),
              std::vector<std::string>{std::string("Helper could not release the managed Core: ") +
                                       NO_CHILD_TEXT});
    EXPECT_EQ(slot_pid(), old);
    service::lock_surviving_poison(MANAGED_CORE)->reset();
}

TEST_F(CoreStart, StartsTheCoreAndRecordsIt) {
    const std::string address = owner_socket();
    const pid_t pid = started_pid(start(address, SESSION_A));
    EXPECT_EQ(slot_pid(), pid);
    EXPECT_TRUE(process_exists(pid));
    EXPECT_TRUE(wait_for_log("MorvikCore (demo) started for " + address));
}

// The Core must start clean whatever the helper's own signal state is.
TEST_F(CoreStart, CoreRunsWithOwnerRealIdsRootEffectiveIdsAndACleanSlate) {
    const std::string address = owner_socket("55");
    set_mode(address, "report\n");
    struct sigaction ignore = {}, previous_pipe = {}, previous_usr2 = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous_pipe);
    ::sigaction(SIGUSR2, &ignore, &previous_usr2);
    sigset_t usr1, previous_mask;
    ::sigemptyset(&usr1);
    ::sigaddset(&usr1, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &usr1, &previous_mask);
    // As if the helper had inherited a descriptor without close-on-exec.
    const int stray = ::open("/dev/null", O_RDONLY);
    const auto started = start(address, SESSION_A);
    ::close(stray);
    ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    ::sigaction(SIGPIPE, &previous_pipe, nullptr);
    ::sigaction(SIGUSR2, &previous_usr2, nullptr);

    started_pid(started);
    ASSERT_TRUE(eventually([&] {
        const auto lines = log_lines();
        return !lines.empty() && lines.back().starts_with("blocked=");
    }));
    const std::vector<std::string> expected = {
        "uid=" + std::to_string(OWNER_UID) + ",0,0",
        "gid=" + std::to_string(OWNER_GID) + ",0,0",
        "cwd=" + core_directory(),
        "argv=" + *core_path() + "|" + address,
        "fds=0,1,2",
        "sigpipe=default",
        "blocked=none",
    };
    EXPECT_EQ(log_lines(), expected);
}

TEST_F(CoreStart, StopsTheRunningCoreFirst) {
    struct Case {
        const char* name;
        const char* mode;
        const char* second_session;
        std::chrono::milliseconds at_least, at_most;
    };
    const Case cases[] = {
        {"same session, Core exits on SIGTERM", "", SESSION_A, 0ms, 2500ms},
        {"other session, Core ignores SIGTERM", "ignore-term\n", SESSION_B, 3000ms, 4800ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string first_address = owner_socket("1"), second_address = owner_socket("2");
        set_mode(first_address, c.mode);
        const pid_t first = started_pid(start(first_address, SESSION_A));
        // Let the Core settle its signal dispositions.
        std::this_thread::sleep_for(200ms);
        const auto begin = std::chrono::steady_clock::now();
        const pid_t second = started_pid(start(second_address, c.second_session));
        const auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(took, c.at_least);
        EXPECT_LE(took, c.at_most);
        EXPECT_FALSE(process_exists(first));
        EXPECT_EQ(slot_pid(), second);
    }
}

TEST_F(CoreStart, OverlappingStartsRunOneAfterTheOther) {
    const std::string first = owner_socket("1"), second = owner_socket("2");
    auto a = std::async(std::launch::async, [&] { return start(first, SESSION_A); });
    auto b = std::async(std::launch::async, [&] { return start(second, SESSION_B); });
    const pid_t pid_a = started_pid(a.get());
    const pid_t pid_b = started_pid(b.get());
    const pid_t running = slot_pid();
    ASSERT_TRUE(running == pid_a || running == pid_b);
    EXPECT_FALSE(process_exists(running == pid_a ? pid_b : pid_a));
    EXPECT_TRUE(process_exists(running));
}

enum class CoreAlteration { Missing, Changed, OwnedByTheOwner, InAGroupWritableDirectory };

class CoreStartVerification : public CoreFixture,
                              public testing::WithParamInterface<CoreAlteration> {
  protected:
    // Alters the Core file as the case says; what verification then answers.
    std::string alter(CoreAlteration alteration) {
        const std::string core = *core_path();
        switch (alteration) {
            case CoreAlteration::Missing:
                EXPECT_EQ(::unlink(core.c_str()), 0);
                return "No such file or directory (os error 2)";
            case CoreAlteration::Changed: {
                const std::string changed = "/tmp/changed-core";
                std::filesystem::copy_file(core, changed,
                                           std::filesystem::copy_options::overwrite_existing);
                std::ofstream(changed, std::ios::app) << '\0';
                mount_over(changed, core);
                return "Core executable SHA256 mismatch";
            }
            case CoreAlteration::OwnedByTheOwner:
                EXPECT_EQ(::chown(core.c_str(), OWNER_UID, 0), 0);
                return core +
                       " must be a regular file owned by root and not writable by group or others";
            case CoreAlteration::InAGroupWritableDirectory:
                EXPECT_EQ(::chmod(core_directory().c_str(), 0775), 0);
                return core_directory() +
                       " must be a directory owned by root and not writable by group or others";
        }
        std::unreachable();
    }
};

TEST_P(CoreStartVerification, RefusesAfterStoppingThePreviousCore) {
    const std::string address = owner_socket();
    const pid_t previous = started_pid(start(address, SESSION_A));
    const std::string message = alter(GetParam());
    EXPECT_EQ(refusal(start(address, SESSION_A)),
              (Refused{CoreErrorKind::VerificationFailed, message}));
    EXPECT_FALSE(process_exists(previous));
    EXPECT_EQ(slot_pid(), 0);
}

INSTANTIATE_TEST_SUITE_P(Alterations, CoreStartVerification,
                         testing::Values(CoreAlteration::Missing, CoreAlteration::Changed,
                                         CoreAlteration::OwnedByTheOwner,
                                         CoreAlteration::InAGroupWritableDirectory),
                         [](const testing::TestParamInfo<CoreAlteration>& info) {
                             switch (info.param) {
                                 case CoreAlteration::Missing:
                                     return "Missing";
                                 case CoreAlteration::Changed:
                                     return "Changed";
                                 case CoreAlteration::OwnedByTheOwner:
                                     return "OwnedByTheOwner";
                                 case CoreAlteration::InAGroupWritableDirectory:
                                     return "InAGroupWritableDirectory";
                             }
                             std::unreachable();
                         });

TEST_F(CoreStart, ReportsAndLogsASpawnFailureWithItsErrorNumber) {
    // Same bytes, so the digest matches, but nothing may execute it.
    const std::string unexecutable = "/tmp/unexecutable-core";
    std::filesystem::copy_file(*core_path(), unexecutable,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(::chmod(unexecutable.c_str(), 0644), 0);
    mount_over(unexecutable, *core_path());
    const auto started = start(owner_socket(), SESSION_A);
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(refusal(started),
              (Refused{CoreErrorKind::LaunchFailed, "Permission denied (os error 13)"}));
    EXPECT_EQ(started.error().error.os_error(), EACCES);
    EXPECT_TRUE(logged("Permission denied (os error 13)"));
    EXPECT_EQ(slot_pid(), 0);
}

TEST_F(CoreStart, LaunchReportsFailuresBeforeExec) {
    struct Case {
        const char* name;
        bool directory_open;
        std::string file;
        bool owner_set;
        std::optional<int> os_error;
    };
    const Case cases[] = {
        {.name = "working directory not open",
         .directory_open = false,
         .file = *core_path(),
         .owner_set = true,
         .os_error = EBADF},
        {.name = "not a program",
         .directory_open = true,
         .file = "/dev/null",
         .owner_set = true,
         .os_error = EACCES},
        {.name = "no owner ids",
         .directory_open = true,
         .file = *core_path(),
         .owner_set = false,
         .os_error = std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.owner_set) ::unsetenv(service::OWNER_UID_VARIABLE);
        const VerifiedCore core{
            *core_path(),
            service::FileDescriptor(c.directory_open ? ::open(core_directory().c_str(),
                                                              O_PATH | O_DIRECTORY | O_CLOEXEC)
                                                     : -1),
            service::FileDescriptor(::open(c.file.c_str(), O_RDONLY | O_CLOEXEC))};
        const auto launched = launch(core, {owner_socket(), SESSION_A});
        ASSERT_FALSE(launched.has_value());
        EXPECT_EQ(launched.error().stage, LaunchFailure::Stage::Spawn);
        EXPECT_EQ(launched.error().error.os_error(), c.os_error);
    }
}

// The owner's program renamed over the Core's path after the hash must not run as root.
TEST_F(CoreStart, LaunchRunsTheHashedFileAfterItsPathWasReplaced) {
    Result<VerifiedCore> core = verify_core();
    ASSERT_TRUE(core.has_value()) << core.error().text();
    const std::string impostor = core_directory() + "/impostor";
    std::ofstream(impostor) << "#!/bin/sh\necho impostor >&2\n";
    ASSERT_EQ(::chmod(impostor.c_str(), 0755), 0);
    ASSERT_EQ(::rename(impostor.c_str(), core->executable.c_str()), 0);

    const std::string address = owner_socket();
    auto launched = launch(*core, {address, SESSION_A});
    ASSERT_TRUE(launched.has_value()) << launched.error().error.text();
    *service::lock_surviving_poison(MANAGED_CORE) = std::move(*launched);
    EXPECT_TRUE(wait_for_log("MorvikCore (demo) running until SIGTERM"));
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"MorvikCore (demo) started for " + address,
                                                     "MorvikCore (demo) running until SIGTERM"}));
}

// The owner may stop the child once it has the owner's real uid; the start must not wait for it
// longer than the deadline, and the child must not outlive the failed start.
TEST_F(CoreStart, LaunchGivesUpOnAChildStoppedBeforeExec) {
    Result<VerifiedCore> core = verify_core();
    ASSERT_TRUE(core.has_value()) << core.error().text();
    const auto begin = std::chrono::steady_clock::now();
    const auto launched =
        launch(*core, {owner_socket(), SESSION_A}, start_stderr_capture, [] { ::raise(SIGSTOP); });
    const auto took = std::chrono::steady_clock::now() - begin;
    ASSERT_FALSE(launched.has_value());
    EXPECT_EQ(launched.error().stage, LaunchFailure::Stage::Spawn);
    EXPECT_EQ(launched.error().error.text(), "Core did not start in time");
    EXPECT_EQ(launched.error().error.os_error(), std::nullopt);
    EXPECT_GE(took, CORE_EXEC_DEADLINE);
    EXPECT_LE(took, CORE_EXEC_DEADLINE + 3s);
    // The fixture checks that the child was reaped and no descriptor is left.
}

// Makes close_range() fail with ENOSYS in this process and its children, as on Linux before 5.11.
void refuse_close_range() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) std::exit(3);
}

// Without close_range() the sweep goes one descriptor at a time: the Core still gets none of the
// helper's, not even one it holds without close-on-exec.
TEST_F(CoreStart, TheCoreGetsOnlyTheStandardDescriptorsWithoutCloseRange) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            refuse_close_range();
            if (::dup(STDERR_FILENO) < 0) std::exit(4);
            const std::string address = owner_socket();
            set_mode(address, "report\n");
            if (!start(address, SESSION_A).has_value() || !wait_for_log("blocked=none"))
                std::exit(5);
            const std::vector<std::string> lines = log_lines();
            const bool standard_only = std::ranges::find(lines, "fds=0,1,2") != lines.end();
            (void)stop_core(StopParams{SESSION_A});
            std::exit(standard_only ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(CoreStart, LaunchKillsTheCoreWhenItsReaderCannotStart) {
    static int handed_pipe = -1;
    const StartCapture refuse = [](service::FileDescriptor pipe, const service::ChildProcess&,
                                   std::shared_ptr<const std::atomic<bool>>) -> Result<void> {
        handed_pipe = pipe.get();
        return fail("no thread for you");
    };
    Result<VerifiedCore> core = verify_core();
    ASSERT_TRUE(core.has_value()) << core.error().text();
    const auto launched = launch(*core, {owner_socket(), SESSION_A}, refuse);
    ASSERT_FALSE(launched.has_value());
    EXPECT_EQ(launched.error().stage, LaunchFailure::Stage::Capture);
    EXPECT_EQ(launched.error().error.text(), "no thread for you");
    EXPECT_GE(handed_pipe, 0);
    // The fixture checks that the Core was reaped and its pipe closed.
}

}  // namespace
}  // namespace zembra::hub::test
