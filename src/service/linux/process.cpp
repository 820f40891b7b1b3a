#include "service/linux/process.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "service/linux/open_files.hpp"
#include "service/process_wide.hpp"

namespace zembra::service {
namespace {

using Clock = ChildProcess::Clock;

constinit ProcessWide<std::vector<pid_t>> LEFT_CHILDREN;

// Never blocks: waitpid with WNOHANG, retried when interrupted.
pid_t reap_if_exited(pid_t pid, int& status) {
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    return reaped;
}

// Blocking until the process of `pidfd` has exited or `deadline` has passed.
Result<void> poll_for_exit(int pidfd, Clock::time_point deadline) {
    int timeout = -1;
    if (deadline != Clock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        timeout =
            static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
    }
    pollfd exited = {.fd = pidfd, .events = POLLIN, .revents = 0};
    if (::poll(&exited, 1, timeout) < 0 && errno != EINTR) return fail(Error::last_os());
    return {};
}

[[noreturn]] void report_child_failure(int report) {
    const int error = errno;
    // The parent reads the error number; nothing useful can be done if this write fails.
    [[maybe_unused]] const ssize_t n = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// What the child is given beyond its plan, prepared before the fork.
struct ChildSetting {
    // Descriptors below this may be open: the helper's soft limit on open files.
    int descriptor_bound;
    rlimit open_files;
};

ChildSetting child_setting() {
    rlimit limit{};
    const bool known = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur <= INT_MAX;
    return {known ? static_cast<int>(limit.rlim_cur) : INT_MAX, initial_open_file_limit()};
}

// Runs in the child between fork and exec; `report` is the error-number pipe's write end.
[[noreturn]] void become(const ExecPlan& plan, const ChildSetting& setting, int report) {
    if (plan.stderr_fd == STDERR_FILENO) {
        if (::fcntl(STDERR_FILENO, F_SETFD, 0) != 0) report_child_failure(report);
    } else if (::dup2(plan.stderr_fd, STDERR_FILENO) < 0) {
        report_child_failure(report);
    }
    // Descriptors the helper itself inherited without close-on-exec stay out of the child too;
    // before Linux 5.11 one at a time.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < setting.descriptor_bound; ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (::setrlimit(RLIMIT_NOFILE, &setting.open_files) != 0) report_child_failure(report);
    ::umask(022);
    if (::fchdir(plan.directory) != 0) report_child_failure(report);
    // Ignored dispositions (SIGPIPE above all) and the mask survive exec: give the child a clean
    // start. Signals that cannot be changed just fail here.
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &default_action, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // From the real uid on, its owner may signal (and stop) the child: last step only.
    if (::setresgid(plan.real_ids.gid, 0, 0) != 0) report_child_failure(report);
    if (::setresuid(plan.real_ids.uid, 0, 0) != 0) report_child_failure(report);
    if (plan.before_exec != nullptr) plan.before_exec();
    // A script's interpreter reads it through /dev/fd/<program> once exec has run: its
    // descriptor alone stays open across the exec.
    if (plan.program_is_script && ::fcntl(plan.program, F_SETFD, 0) != 0)
        report_child_failure(report);
    ::execveat(plan.program, "", plan.argv, plan.envp, AT_EMPTY_PATH);
    report_child_failure(report);
}

// Blocking, up to `deadline`: success once exec closed the pipe without a word, else the error
// number the child wrote, or the deadline.
Result<void> await_exec(int report, Clock::time_point deadline, std::string_view name) {
    int error = 0;
    std::size_t got = 0;
    while (got < sizeof error) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return fail(std::string(name) + " did not start in time");
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

}  // namespace

ChildProcess::ChildProcess(pid_t pid)
    : ChildProcess(pid, FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)))) {}

Result<std::optional<int>> ChildProcess::query_status() {
    if (exit_status_) return exit_status_;
    int status = 0;
    const pid_t reaped = reap_if_exited(pid_, status);
    if (reaped < 0) return fail(Error::last_os());
    if (reaped == 0) return std::nullopt;
    exit_status_ = status;
    return exit_status_;
}

Result<void> ChildProcess::send_signal(int signal) const {
    const long sent = pidfd_ ? ::syscall(SYS_pidfd_send_signal, pidfd_.get(), signal, nullptr, 0)
                             : ::kill(pid_, signal);
    if (sent != 0) return fail(Error::last_os());
    return {};
}

Result<FileDescriptor> ChildProcess::duplicate_pidfd() const {
    if (!pidfd_) return FileDescriptor();
    FileDescriptor copy(::fcntl(pidfd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy) return fail(Error::last_os());
    return copy;
}

Result<bool> ChildProcess::wait_until(Clock::time_point deadline) {
    for (;;) {
        Result<std::optional<int>> status = query_status();
        if (!status) return fail(std::move(status.error()));
        if (status->has_value()) return true;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        if (!pidfd_) {
            std::this_thread::sleep_for(
                std::min<Clock::duration>(CHILD_POLL_INTERVAL, deadline - now));
        } else if (Result<void> polled = poll_for_exit(pidfd_.get(), deadline); !polled) {
            return fail(std::move(polled.error()));
        }
    }
}

Result<bool> ChildProcess::wait_for(std::chrono::nanoseconds timeout) {
    return wait_until(Clock::now() + timeout);
}

Result<bool> ChildProcess::kill_and_wait() {
    if (!exit_status_) (void)send_signal(SIGKILL);
    return wait_for(KILL_GRACE);
}

void reap_later(pid_t pid) {
    const auto left = lock_surviving_poison(LEFT_CHILDREN);
    if (left->size() < MAX_LEFT_CHILDREN) left->push_back(pid);
}

void reap_left_children() {
    const auto left = lock_surviving_poison(LEFT_CHILDREN);
    std::erase_if(*left, [](pid_t pid) {
        int status = 0;
        return reap_if_exited(pid, status) != 0;  // reaped now, or no longer a child to wait for
    });
}

Result<ChildProcess> spawn_child(const ExecPlan& plan, std::chrono::nanoseconds exec_deadline) {
    reap_left_children();
    Result<Pipe> report = close_on_exec_pipe();
    if (!report) return fail(std::move(report.error()));

    // With every signal blocked across fork, no handler of the helper (the event loop's signal
    // forwarding) can run in the child before its dispositions are reset.
    sigset_t all, previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const ChildSetting setting = child_setting();
    const pid_t pid = ::fork();
    if (pid == 0) become(plan, setting, report->write.get());
    const int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return fail(Error::os(fork_error));

    ChildProcess child(pid);
    report->write.reset();
    if (Result<void> started =
            await_exec(report->read.get(), Clock::now() + exec_deadline, plan.name);
        !started) {
        // A child that failed after taking its real ids can be stopped before it exits.
        if (Result<bool> gone = child.kill_and_wait(); !gone || !*gone) reap_later(child.pid());
        return fail(std::move(started.error()));
    }
    return child;
}

}  // namespace zembra::service
