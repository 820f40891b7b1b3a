// Child processes of the helper: a handle that signals and reaps exactly its own process (pid +
// process descriptor), one wait with a deadline, and the one fork-and-exec, which learns of a
// failure before exec through an error-number pipe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

#include "error.hpp"
#include "service/linux/file_descriptor.hpp"
#include "service/linux/owner.hpp"

namespace zembra::service {

using namespace std::chrono_literals;

// How often a wait looks at a child that has no process descriptor to wait on.
inline constexpr std::chrono::milliseconds CHILD_POLL_INTERVAL = 20ms;
// How long a child has to be gone after SIGKILL.
inline constexpr std::chrono::nanoseconds KILL_GRACE = 1s + 500'000'000ns;

// A child process of the helper. With a process descriptor, signals reach exactly this process
// even after its id has been reaped and reused; without one (an old kernel) they go to the id.
class ChildProcess {
  public:
    using Clock = std::chrono::steady_clock;

    // `pid` is a child not yet reaped, so its id cannot have been reused: its process
    // descriptor is opened here.
    explicit ChildProcess(pid_t pid);
    ChildProcess(pid_t pid, FileDescriptor pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

    pid_t pid() const { return pid_; }
    // The raw wait status, once the process has been reaped.
    const std::optional<int>& exit_status() const { return exit_status_; }

    // Never blocks: the stored status, or else one non-blocking wait: the raw status once the
    // process has been reaped (stored, so it is never waited for twice), none while it runs.
    Result<std::optional<int>> query_status();
    Result<void> send_signal(int signal) const;
    // A close-on-exec copy of the process descriptor, readable once the process has exited;
    // empty when there is none.
    Result<FileDescriptor> duplicate_pidfd() const;

    // Blocking until `deadline` (Clock::time_point::max(): no deadline): queries the status at
    // least once; true once the process has been reaped, false when the deadline has passed.
    // Wakes when the process descriptor says the process has exited; without one, queries
    // every CHILD_POLL_INTERVAL.
    Result<bool> wait_until(Clock::time_point deadline);
    // Blocking, up to `timeout`: wait_until(now + timeout).
    Result<bool> wait_for(std::chrono::nanoseconds timeout);
    // Blocking, up to KILL_GRACE: SIGKILL unless already reaped, then the wait. For a child that
    // has nothing left to finish; false when it is still not gone.
    Result<bool> kill_and_wait();

  private:
    pid_t pid_;
    std::optional<int> exit_status_;
    FileDescriptor pidfd_;
};

// Children still not gone after SIGKILL (in uninterruptible sleep, say) that nothing waits for
// any more; beyond these few, one is left to the kernel, a zombie until the helper exits.
inline constexpr std::size_t MAX_LEFT_CHILDREN = 64;
// Hands over such a child: reap_left_children() reaps it once it has exited.
void reap_later(pid_t pid);
// Never blocks: reaps the children handed to reap_later() that have exited. Every
// spawn_child() does this first.
void reap_left_children();

// How the child is set up between fork and exec. Everything is prepared before the fork: the
// child may only make async-signal-safe calls, so nothing it does may allocate.
struct ExecPlan {
    // In messages: "<name> did not start in time".
    std::string_view name;
    // Executed through its descriptor (the very file that was checked, whatever its path names
    // by now), with `argv` and `envp`.
    int program;
    // A script (`#!`): its interpreter reads it through /dev/fd/<program>, so that descriptor is
    // left open across exec; an executable's is not.
    bool program_is_script = false;
    char* const* argv;
    char* const* envp;
    // The working directory, an open descriptor.
    int directory;
    // Becomes the child's stderr; stdin and stdout are the helper's own.
    int stderr_fd;
    // Real ids the child takes as its last step before exec; effective and saved ids stay 0.
    OwnerIds real_ids;
    // Runs in the child right before exec, under the real ids; async-signal-safe calls only.
    void (*before_exec)() = nullptr;
};

// Blocking, up to `exec_deadline` and then KILL_GRACE: forks with every signal blocked, so no
// handler of the helper runs in the child; the child starts with every signal at its default
// and none blocked, umask 022, the limit on open files the helper was started with, and no
// descriptor beyond 0 to 2 (and a script's own). Returns once the child has exec'd. A child
// that failed before exec (the error is its errno) or did not exec in time has been killed and
// reaped, within the bound.
Result<ChildProcess> spawn_child(const ExecPlan& plan, std::chrono::nanoseconds exec_deadline);

}  // namespace zembra::service
