// The pool for blocking work (hashing, spawning, waiting for the Core), in two lanes with
// threads of their own: jobs that wait for the Core slot, and jobs that never do, so a ping never
// waits behind starts and stops however many queue for the slot. Each lane grows a thread per
// job up to its cap, queues jobs beyond it, and lets a thread go after it has idled.
#pragma once

#include <cstddef>
#include <functional>

namespace zembra::service {

enum class BlockingLane {
    // Jobs that take the Core slot's lock: starts and stops.
    CoreSlot,
    // Jobs that never take it: pings.
    Quick,
};

// One job holds the slot at a time and the rest wait for its lock, so more threads add no
// throughput; the few beyond the holder answer a start or stop refused before the lock (a
// malformed session id, say) while a long stop holds the slot, unless the lane is flooded.
inline constexpr std::size_t CORE_SLOT_LANE_THREADS = 4;
// A ping's work is a few system calls, so threads beyond the cores add no throughput, only
// wake-ups: with few threads, each finds the next ping queued and takes it without sleeping. A
// stalled filesystem stalls every ping whatever the count (they all open the same file). The
// pool stays at 6 threads whatever clients send.
inline constexpr std::size_t QUICK_LANE_THREADS = 2;

// Runs `job` on a thread of `lane`. After shutdown_blocking_pool() the job is dropped
// (destroyed without running).
void spawn_blocking(BlockingLane lane, std::move_only_function<void()> job);

// Drops queued jobs, waits for running ones, and refuses later jobs. Idempotent.
void shutdown_blocking_pool();

}  // namespace zembra::service
