// The pool for blocking work (hashing, spawning, waiting for the Core), in two lanes with
// threads of their own: jobs that wait for the Core slot, and jobs that never do, so a ping never
// waits behind starts and stops. Each lane grows a thread per job up to its cap, queues jobs
// beyond it, and lets a thread go after it has idled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace zembra::service {

enum class BlockingLane {
    // Jobs that take the Core slot's lock: starts and stops.
    CoreSlot,
    // Jobs that never take it: pings.
    Quick,
};

// One job holds the slot at a time, so a second thread would only wait for its lock. The jobs
// wait in the lane's queue instead, where their number is bounded and one whose client has gone
// can leave at once.
inline constexpr std::size_t CORE_SLOT_LANE_THREADS = 1;
// Slot jobs that may wait, in all and from one connection: a client asks for a start or a stop at
// a time, and one connection cannot fill the queue. Each may hold the slot for about 4.5 s, so a
// full queue is done in under 80 s even if every Core it meets has to be killed.
inline constexpr std::size_t MAX_WAITING_CORE_SLOT_JOBS = 16;
inline constexpr std::size_t MAX_WAITING_CORE_SLOT_JOBS_PER_CONNECTION = 4;
// A ping's work is a few system calls, so threads beyond the cores add no throughput, only
// wake-ups: with few threads, each finds the next ping queued and takes it without sleeping. A
// stalled filesystem stalls every ping whatever the count (they all open the same file).
inline constexpr std::size_t QUICK_LANE_THREADS = 2;

using BlockingJob = std::move_only_function<void()>;
using BlockingTicket = std::uint64_t;

// Never blocks. Runs `job` on a thread of `lane`, or queues it; `connection` is where it came
// from, for the slot lane's shares. Its ticket; none when it was refused and destroyed without
// running: after shutdown_blocking_pool(), or when the slot lane has no room for it.
std::optional<BlockingTicket> spawn_blocking(BlockingLane lane, BlockingJob job,
                                             std::uint64_t connection = 0);
// Never blocks. Destroys the job of `ticket` without running it if it still waits.
void withdraw_blocking(BlockingLane lane, BlockingTicket ticket);

// Drops queued jobs, waits for running ones, and refuses later jobs. Idempotent.
void shutdown_blocking_pool();

}  // namespace zembra::service
