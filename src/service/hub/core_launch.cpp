#include "service/hub/core_launch.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "service/linux/owner.hpp"

extern char** environ;

namespace zembra::hub {
namespace {

// What the child becomes: `program` (also its argv[0]) with `arguments`, run in `directory`,
// with the helper's environment, stdin and stdout, and its stderr on a pipe.
struct CoreCommand {
    std::string program;
    std::vector<std::string> arguments;
    std::string directory;
    // Real ids the child takes just before exec; effective and saved ids stay 0.
    service::OwnerIds owner;
};

struct SpawnedChild {
    ChildProcess child;
    service::FileDescriptor stderr_read;
};

// Everything the child needs, prepared before fork: after fork it may only make
// async-signal-safe calls, so nothing here allocates.
struct ChildPlan {
    const char* program;
    char* const* argv;
    char* const* envp;
    const char* directory;
    const service::OwnerIds& owner;
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
    if (::chdir(plan.directory) != 0) report_child_failure(plan.failure_report);
    if (::setresgid(plan.owner.gid, 0, 0) != 0) report_child_failure(plan.failure_report);
    if (::setresuid(plan.owner.uid, 0, 0) != 0) report_child_failure(plan.failure_report);
    // Ignored dispositions (SIGPIPE above all) and the mask survive exec: give the Core a clean
    // start. Signals that cannot be changed just fail here.
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &default_action, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.program, plan.argv, plan.envp);
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

// The error number a failed child reported, or none once exec closed the report pipe.
std::optional<int> read_child_failure(int report) {
    int error = 0;
    std::size_t got = 0;
    while (got < sizeof error) {
        const ssize_t n = ::read(report, reinterpret_cast<char*>(&error) + got, sizeof error - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof error) return std::nullopt;
    return error;
}

Result<SpawnedChild> spawn(const CoreCommand& command) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(command.program.c_str()));
    for (const std::string& argument : command.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    Result<Pipe> stderr_pipe = close_on_exec_pipe();
    if (!stderr_pipe) return fail(std::move(stderr_pipe.error()));
    Result<Pipe> report_pipe = close_on_exec_pipe();
    if (!report_pipe) return fail(std::move(report_pipe.error()));
    const ChildPlan plan{command.program.c_str(),   argv.data(),   environ,
                         command.directory.c_str(), command.owner, stderr_pipe->write.get(),
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

    stderr_pipe->write.reset();
    report_pipe->write.reset();
    if (const std::optional<int> error = read_child_failure(report_pipe->read.get())) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return fail(Error::os(*error));
    }
    // The child is not reaped yet, so its id cannot have been reused. Without a process
    // descriptor (an old kernel), signals fall back to the id.
    service::FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return SpawnedChild{ChildProcess(pid, std::move(pidfd)), std::move(stderr_pipe->read)};
}

}  // namespace

std::expected<ManagedCore, LaunchFailure> launch(const VerifiedCore& core,
                                                 const StartParams& params,
                                                 StartCapture start_capture) {
    using Stage = LaunchFailure::Stage;
    // Read afresh: the owner the child runs as is the one configured at this moment.
    Result<service::OwnerIds> owner = service::owner_from_env();
    if (!owner) return std::unexpected(LaunchFailure{Stage::Spawn, std::move(owner.error())});
    Result<SpawnedChild> spawned =
        spawn(CoreCommand{core.executable, {params.address}, core.directory, *owner});
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
