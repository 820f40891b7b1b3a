#include "service/elastic_pool.hpp"

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <utility>

namespace zembra::service {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ElasticPool::ElasticPool(std::chrono::milliseconds idle_timeout, std::size_t max_threads,
                         QueueLimits queue_limits)
    : idle_timeout_(idle_timeout),
      max_threads_(std::max<std::size_t>(max_threads, 1)),
      queue_limits_(queue_limits) {}

ElasticPool::~ElasticPool() {
    shutdown();
}

std::optional<ElasticPool::Ticket> ElasticPool::spawn(Job job, std::uint64_t source) {
    Job dropped;
    Worker* woken = nullptr;
    Ticket ticket = 0;
    {
        std::lock_guard lock(mutex_);
        ticket = next_ticket_++;
        if (stopping_) {
            dropped = std::move(job);
        } else if (!idle_.empty()) {
            woken = idle_.back();
            idle_.pop_back();
            woken->handed = std::move(job);
        } else if (workers_.size() < max_threads_) {
            const Workers::iterator worker = workers_.emplace(workers_.end());
            worker->handed = std::move(job);
            try {
                // The new thread takes the lock before it touches `worker->thread`.
                worker->thread = std::thread([this, worker] { run(worker); });
            } catch (const std::system_error&) {
                job = std::move(worker->handed);
                workers_.pop_back();
                // A busy thread takes the job when it is done; with none, nobody would.
                if (workers_.empty() || !queue_has_room(source)) {
                    dropped = std::move(job);
                } else {
                    queue_.push_back({ticket, source, std::move(job)});
                }
            }
        } else if (queue_has_room(source)) {
            // At the cap: the job waits for the first thread to finish.
            queue_.push_back({ticket, source, std::move(job)});
        } else {
            dropped = std::move(job);
        }
    }
    // Outside the lock, so the woken thread does not block on it at once.
    if (woken) woken->wakeup.wake();
    if (!dropped) return ticket;
    // Destroyed outside the lock: its destructor may answer a request.
    dropped = nullptr;
    return std::nullopt;
}

bool ElasticPool::queue_has_room(std::uint64_t source) const {
    if (queue_.size() >= queue_limits_.jobs) return false;
    if (queue_limits_.jobs_per_source == SIZE_MAX) return true;
    const auto from_source =
        std::ranges::count(queue_, source, [](const Waiting& waiting) { return waiting.source; });
    return static_cast<std::size_t>(from_source) < queue_limits_.jobs_per_source;
}

void ElasticPool::withdraw(Ticket ticket) {
    Job withdrawn;
    {
        std::lock_guard lock(mutex_);
        const auto waiting = std::ranges::find(queue_, ticket, &Waiting::ticket);
        if (waiting == queue_.end()) return;
        withdrawn = std::move(waiting->job);
        queue_.erase(waiting);
    }
    // Destroyed outside the lock, as a dropped job is.
}

void ElasticPool::run(Workers::iterator self) {
    std::unique_lock lock(mutex_, std::defer_lock);
    for (Job job = std::move(self->handed); job; job = next_job(*self, lock)) {
        try {
            job();
        } catch (...) {
            // A failing job must not take the process down; its owner reports failures.
        }
        job = nullptr;
        lock.lock();
        // Memory that a burst left free (its connections gone, say) goes back even when
        // jobs keep coming, as a client that pings every second would have them.
        if (Clock::now() >= next_release_) release_free_memory(lock);
    }
    leave(self, lock);
}

ElasticPool::Job ElasticPool::next_job(Worker& self, std::unique_lock<std::mutex>& lock) {
    if (!queue_.empty()) {
        Job job = std::move(queue_.front().job);
        queue_.pop_front();
        lock.unlock();
        return job;
    }
    if (stopping_) return nullptr;
    self.wakeup.arm();
    idle_.push_back(&self);
    lock.unlock();
    if (!self.wakeup.wait_for(idle_timeout_)) {
        lock.lock();
        if (const auto listed = std::ranges::find(idle_, &self); listed != idle_.end()) {
            idle_.erase(listed);
            return nullptr;
        }
        // spawn() or shutdown() took this thread off the list just now and is waking it.
        lock.unlock();
        self.wakeup.wait();
    }
    // The waker wrote `handed` before the wake-up, which this thread has seen.
    Job job = std::move(self.handed);
    if (!job) lock.lock();
    return job;
}

void ElasticPool::leave(Workers::iterator self, std::unique_lock<std::mutex>& lock) {
    if (stopping_) return;  // shutdown() joins this thread
    std::thread previous = std::exchange(departed_, std::move(self->thread));
    workers_.erase(self);
    if (workers_.empty()) release_free_memory(lock);
    lock.unlock();
    if (previous.joinable()) previous.join();
}

void ElasticPool::release_free_memory(std::unique_lock<std::mutex>& lock) {
    next_release_ = Clock::now() + idle_timeout_;
    lock.unlock();
    // A burst leaves its memory free but held in the arenas of the threads that served it.
    ::malloc_trim(0);
    lock.lock();
}

void ElasticPool::shutdown() {
    std::deque<Waiting> dropped;
    Workers workers;
    std::vector<Worker*> idle;
    std::thread departed;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
        workers.swap(workers_);
        idle.swap(idle_);
        departed = std::move(departed_);
    }
    for (Worker* worker : idle)
        worker->wakeup.wake();  // with nothing in hand: it leaves
    dropped.clear();
    for (Worker& worker : workers)
        worker.thread.join();
    if (departed.joinable()) departed.join();
}

std::size_t ElasticPool::live_threads() const {
    std::lock_guard lock(mutex_);
    return workers_.size();
}

std::size_t ElasticPool::idle_threads() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace zembra::service
