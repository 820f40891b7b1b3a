#include "service/hub/core_launch.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "service/linux/owner.hpp"

extern char** environ;

namespace zembra::hub {
namespace {

// What the child becomes: the verified Core (its path also argv[0]) with `arguments`, run in
// its directory, with the helper's environment, stdin and stdout, and its stderr on a pipe.
struct CoreCommand {
    const VerifiedCore& core;
    std::vector<std::string> arguments;
    // Real ids the child takes just before exec; effective and saved ids stay 0.
    service::OwnerIds owner;
    BeforeExec before_exec;
};

struct SpawnedChild {
    ChildProcess child;
    service::FileDescriptor stderr_read;
};

// Everything the child needs, prepared before fork: after fork it may only make
// async-signal-safe calls, so nothing here allocates.
struct ChildPlan {
    int core_file;
    char* const* argv;
    char* const* envp;
    int directory;
    const service::OwnerIds& owner;
    BeforeExec before_exec;
    int stderr_write;
    int failure_report;
};

[[noreturn]] void report_child_failure(int report) {
    const int error = errno;
    // The parent reads the error number; nothing useful can be done if this write fails.
    [[maybe_unused]] const ssize_t n = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// Runs in the child between fork and exec.
[[noreturn]] void become_core(const ChildPlan& plan) {
    if (plan.stderr_write == STDERR_FILENO) {
        if (::fcntl(STDERR_FILENO, F_SETFD, 0) != 0) report_child_failure(plan.failure_report);
    } else if (::dup2(plan.stderr_write, STDERR_FILENO) < 0) {
        report_child_failure(plan.failure_report);
    }
    // Descriptors the helper itself inherited without close-on-exec stay out of the Core too.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (::fchdir(plan.directory) != 0) report_child_failure(plan.failure_report);
    // Ignored dispositions (SIGPIPE above all) and the mask survive exec: give the Core a clean
    // start. Signals that cannot be changed just fail here.
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &default_action, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // From the owner's real uid on, the owner may signal (and stop) the child: last step only.
    if (::setresgid(plan.owner.gid, 0, 0) != 0) report_child_failure(plan.failure_report);
    if (::setresuid(plan.owner.uid, 0, 0) != 0) report_child_failure(plan.failure_report);
    if (plan.before_exec != nullptr) plan.before_exec();
    // The very file that was hashed, whatever its path names by now.
    ::execveat(plan.core_file, "", plan.argv, plan.envp, AT_EMPTY_PATH);
    report_child_failure(plan.failure_report);
}

struct Pipe {
    service::FileDescriptor read;
    service::FileDescriptor write;
};

Result<Pipe> close_on_exec_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail(Error::last_os());
    return Pipe{service::FileDescriptor(ends[0]), service::FileDescriptor(ends[1])};
}

// Waits for the exec report: success once exec closed the pipe without a word, else the error
// number the child wrote, or the deadline.
Result<void> await_exec(int report) {
    const auto deadline = std::chrono::steady_clock::now() + CORE_EXEC_DEADLINE;
    int error = 0;
    std::size_t got = 0;
    while (got < sizeof error) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return fail("Core did not start in time");
        pollfd readable{report, POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return fail(Error::last_os());
        if (ready == 0) continue;
        const ssize_t n = ::read(report, reinterpret_cast<char*>(&error) + got, sizeof error - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof error) return {};
    return fail(Error::os(error));
}

// A child that never became the Core: SIGKILL, then a bounded wait for its end.
void discard(ChildProcess child) {
    (void)child.send_signal(SIGKILL);
    ManagedCore unwanted{std::string(), std::move(child)};
    (void)unwanted.wait_for_exit(CORE_KILL_GRACE);
}

Result<SpawnedChild> spawn(const CoreCommand& command) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(command.core.executable.c_str()));
    for (const std::string& argument : command.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    Result<Pipe> stderr_pipe = close_on_exec_pipe();
    if (!stderr_pipe) return fail(std::move(stderr_pipe.error()));
    Result<Pipe> report_pipe = close_on_exec_pipe();
    if (!report_pipe) return fail(std::move(report_pipe.error()));
    const ChildPlan plan{command.core.file.get(),
                         argv.data(),
                         environ,
                         command.core.directory.get(),
                         command.owner,
                         command.before_exec,
                         stderr_pipe->write.get(),
                         report_pipe->write.get()};

    // With every signal blocked across fork, no handler of the helper (the event loop's signal
    // forwarding) can run in the child before its dispositions are reset.
    sigset_t all, previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) become_core(plan);
    const int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return fail(Error::os(fork_error));

    // The child is not reaped yet, so its id cannot have been reused. Without a process
    // descriptor (an old kernel), signals fall back to the id.
    ChildProcess child(
        pid, service::FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))));
    stderr_pipe->write.reset();
    report_pipe->write.reset();
    if (Result<void> started = await_exec(report_pipe->read.get()); !started) {
        // A child that failed after taking the owner's ids can be stopped before it exits.
        discard(std::move(child));
        return fail(std::move(started.error()));
    }
    return SpawnedChild{std::move(child), std::move(stderr_pipe->read)};
}

}  // namespace

std::expected<ManagedCore, LaunchFailure> launch(const VerifiedCore& core,
                                                 const StartParams& params,
                                                 StartCapture start_capture,
                                                 BeforeExec before_exec) {
    using Stage = LaunchFailure::Stage;
    // Read afresh: the owner the child runs as is the one configured at this moment.
    Result<service::OwnerIds> owner = service::owner_from_env();
    if (!owner) return std::unexpected(LaunchFailure{Stage::Spawn, std::move(owner.error())});
    Result<SpawnedChild> spawned = spawn(CoreCommand{core, {params.address}, *owner, before_exec});
    if (!spawned) return std::unexpected(LaunchFailure{Stage::Spawn, std::move(spawned.error())});
    Result<void> capturing =
        start_capture(std::move(spawned->stderr_read), spawned->child, params.session_id);
    if (!capturing) {
        // Nobody would supervise this root process: it must not outlive the failed start.
        spawned->child.kill_and_reap();
        return std::unexpected(LaunchFailure{Stage::Capture, std::move(capturing.error())});
    }
    return ManagedCore{params.session_id, std::move(spawned->child)};
}

}  // namespace zembra::hub
