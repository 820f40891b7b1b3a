// An elastic thread pool for blocking work: a job starts at once, on an idle thread or on a
// new one when every thread is busy, until `max_threads` run; further jobs wait in order of
// arrival for the first thread to come free, as many as the queue's limits allow, and a waiting
// job can be withdrawn. A thread that stays idle for `idle_timeout` exits, so an idle pool holds
// no threads and wakes nobody. Heap memory freed meanwhile goes back to the system when the pool
// empties, and at most once per `idle_timeout` while jobs keep coming. The process-wide pool is
// blocking_pool.hpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "service/wakeup.hpp"

namespace zembra::service {

// How many jobs may wait for a thread: in all, and from one source (one client, say), so that
// one source cannot take all the room.
struct QueueLimits {
    std::size_t jobs = SIZE_MAX;
    std::size_t jobs_per_source = SIZE_MAX;
};

class ElasticPool {
  public:
    using Job = std::move_only_function<void()>;
    // Names a job for withdraw().
    using Ticket = std::uint64_t;

    // `max_threads` counts as at least one.
    ElasticPool(std::chrono::milliseconds idle_timeout, std::size_t max_threads,
                QueueLimits queue_limits = {});
    // Shuts down: see shutdown().
    ~ElasticPool();
    ElasticPool(const ElasticPool&) = delete;
    ElasticPool& operator=(const ElasticPool&) = delete;

    // Never blocks: takes the pool's lock briefly and may start a thread. The job's ticket; none
    // when it is refused and destroyed without running: after shutdown, when no thread exists and
    // none can be created, or when it would have to wait and the queue has no room for it (or for
    // another job of `source`).
    std::optional<Ticket> spawn(Job job, std::uint64_t source = 0);
    // Never blocks. Destroys the job of `ticket` without running it if it still waits.
    void withdraw(Ticket ticket);

    // Blocking: drops queued jobs, joins every thread (so waits for running jobs), refuses
    // later jobs. Idempotent.
    void shutdown();

    // Threads currently alive (running a job or idle).
    std::size_t live_threads() const;
    // Threads waiting for a job.
    std::size_t idle_threads() const;

  private:
    // A thread and where spawn() hands it a job. An idle thread is woken with its job in hand,
    // so it starts without taking the pool's lock.
    struct Worker {
        std::thread thread;
        Job handed;  // empty when shutdown() wakes it
        Wakeup wakeup;
    };
    using Workers = std::list<Worker>;

    void run(Workers::iterator self);
    // Entered with `lock` held. The next queued job, or the one handed to this thread while it
    // waited idle, with `lock` released; or none, with `lock` held, when the thread is to leave.
    Job next_job(Worker& self, std::unique_lock<std::mutex>& lock);
    // Entered with `lock` held.
    void leave(Workers::iterator self, std::unique_lock<std::mutex>& lock);
    // Blocking, briefly: trims the heap without `lock`, which is held on entry and on return.
    void release_free_memory(std::unique_lock<std::mutex>& lock);

    struct Waiting {
        Ticket ticket;
        std::uint64_t source;
        Job job;
    };

    // Entered with the lock held.
    bool queue_has_room(std::uint64_t source) const;

    const std::chrono::milliseconds idle_timeout_;
    const std::size_t max_threads_;
    const QueueLimits queue_limits_;
    mutable std::mutex mutex_;
    std::deque<Waiting> queue_;  // jobs beyond the cap, for the first thread to come free
    Ticket next_ticket_ = 1;
    // Waiting for a job, the most recently idle last: it is woken first, so the others age out.
    std::vector<Worker*> idle_;
    std::chrono::steady_clock::time_point next_release_{};
    bool stopping_ = false;
    Workers workers_;
    // The handle of the last thread that left on its own; the next one to leave joins it, so
    // at most one finished thread waits to be joined.
    std::thread departed_;
};

}  // namespace zembra::service
