// The pool for blocking work (hashing, spawning, waiting for the Core): grows a thread per job
// when every thread is busy, and lets a thread go after it has idled for a while, so a quick
// job is never queued behind slow ones.
#pragma once

#include <functional>

namespace zembra::service {

// Runs `job` on a pool thread. After shutdown_blocking_pool() the job is dropped (destroyed
// without running).
void spawn_blocking(std::move_only_function<void()> job);

// Drops queued jobs, waits for running ones, and refuses later jobs. Idempotent.
void shutdown_blocking_pool();

}  // namespace zembra::service
