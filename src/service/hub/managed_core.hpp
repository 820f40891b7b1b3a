// The one supervised Core process: its record, the process-wide slot that holds it, the flag
// that tells starts the helper is going down, and the bounded stop sequence.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "error.hpp"
#include "service/linux/file_descriptor.hpp"
#include "service/process_wide.hpp"

namespace zembra::hub {

using namespace std::chrono_literals;

// How often every wait for the Core looks at its status.
inline constexpr std::chrono::milliseconds CORE_POLL_INTERVAL = 20ms;
// How long the Core has to exit after SIGTERM, then after SIGKILL.
inline constexpr std::chrono::nanoseconds CORE_TERMINATE_GRACE = 3s;
inline constexpr std::chrono::nanoseconds CORE_KILL_GRACE = 1s + 500'000'000ns;

// A child process of the helper. With a process descriptor, signals reach exactly this process
// even after its id has been reaped and reused; without one they go to the id.
class ChildProcess {
  public:
    ChildProcess(pid_t pid, service::FileDescriptor pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

    pid_t pid() const { return pid_; }
    // The raw wait status, once a query has reaped the process.
    const std::optional<int>& exit_status() const { return exit_status_; }

    // The stored status, or else one non-blocking wait: the raw status once the process has
    // been reaped (stored, so it is never waited for twice), none while it still runs.
    Result<std::optional<int>> query_status();
    Result<void> send_signal(int signal) const;
    // A close-on-exec copy of the process descriptor, readable once the process has exited;
    // empty when there is none (signals then go to the id).
    Result<service::FileDescriptor> duplicate_pidfd() const;
    // Blocking: SIGKILL, then a wait until the process is reaped. Only for a child that has
    // nothing left to finish and nobody else watches.
    void kill_and_reap();

  private:
    pid_t pid_;
    std::optional<int> exit_status_;
    service::FileDescriptor pidfd_;
};

struct ManagedCore {
    std::string session_id;
    ChildProcess child;

    // Blocking: queries the status at least once, then every 20 ms until the process has exited
    // (true) or `timeout` has passed on the monotonic clock (false).
    Result<bool> wait_for_exit(std::chrono::nanoseconds timeout);
};

using CoreSlot = std::optional<ManagedCore>;

// The slot of the one Core. Taken with lock_surviving_poison, always before LOGS.
extern constinit service::ProcessWide<CoreSlot> MANAGED_CORE;

// Set once by the shutdown before it takes MANAGED_CORE; read by starts under that lock.
extern constinit std::atomic<bool> SHUTTING_DOWN;

// Blocking, up to about 4.5 s. Stops the Core in `slot` (the value of MANAGED_CORE, whose
// lock the caller holds): SIGTERM, up to 3 s, then SIGKILL, up to 1.5 s. The slot is empty on
// success; on failure the record stays, so a later call repeats the whole sequence.
Result<void> release_managed_core(CoreSlot& slot);

}  // namespace zembra::hub
