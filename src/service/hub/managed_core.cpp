#include "service/hub/managed_core.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace zembra::hub {
namespace {

// waitpid, again whenever a signal interrupts it.
pid_t wait_retrying(pid_t pid, int& status, int options) {
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, options);
    } while (reaped < 0 && errno == EINTR);
    return reaped;
}

}  // namespace

constinit service::ProcessWide<CoreSlot> MANAGED_CORE;
constinit std::atomic<bool> SHUTTING_DOWN{false};

Result<std::optional<int>> ChildProcess::query_status() {
    if (exit_status_) return exit_status_;
    int status = 0;
    const pid_t reaped = wait_retrying(pid_, status, WNOHANG);
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

Result<service::FileDescriptor> ChildProcess::duplicate_pidfd() const {
    if (!pidfd_) return service::FileDescriptor();
    service::FileDescriptor copy(::fcntl(pidfd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy) return fail(Error::last_os());
    return copy;
}

void ChildProcess::kill_and_reap() {
    if (exit_status_) return;
    (void)send_signal(SIGKILL);
    int status = 0;
    if (wait_retrying(pid_, status, 0) == pid_) exit_status_ = status;
}

Result<bool> ManagedCore::wait_for_exit(std::chrono::nanoseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Result<std::optional<int>> status = child.query_status();
        if (!status) return fail(std::move(status.error()));
        if (status->has_value()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(CORE_POLL_INTERVAL);
    }
}

Result<void> release_managed_core(CoreSlot& slot) {
    if (!slot) return {};
    ManagedCore& core = *slot;
    // A reaped process is never signalled: its id may already belong to another process.
    const bool terminated = !core.child.exit_status() && core.child.send_signal(SIGTERM);
    if (terminated) {
        Result<bool> exited = core.wait_for_exit(CORE_TERMINATE_GRACE);
        if (!exited) return fail(std::move(exited.error()));
        if (*exited) {
            slot.reset();
            return {};
        }
    }
    if (!core.child.exit_status()) (void)core.child.send_signal(SIGKILL);
    Result<bool> exited = core.wait_for_exit(CORE_KILL_GRACE);
    if (!exited) return fail(std::move(exited.error()));
    if (!*exited) return fail("Core did not exit after termination");
    slot.reset();
    return {};
}

}  // namespace zembra::hub
