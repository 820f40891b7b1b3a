#include "service/elastic_pool.hpp"

#include <malloc.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace zembra::service {

ElasticPool::ElasticPool(std::chrono::milliseconds idle_timeout, std::size_t max_threads)
    : idle_timeout_(idle_timeout), max_threads_(std::max<std::size_t>(max_threads, 1)) {}

ElasticPool::~ElasticPool() {
    shutdown();
}

void ElasticPool::spawn(Job job) {
    Job dropped;
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            dropped = std::move(job);
        } else {
            queue_.push_back(std::move(job));
            // Every queued job needs an idle thread of its own, or it would wait behind a
            // running one; at the cap it does wait, for the first thread to finish.
            if (queue_.size() <= idle_) {
                wake = true;
            } else if (threads_.size() < max_threads_) {
                try {
                    const Threads::iterator slot = threads_.emplace(threads_.end());
                    // The new thread takes the lock before it touches `slot`.
                    *slot = std::thread([this, slot] { run(slot); });
                } catch (const std::system_error&) {
                    threads_.pop_back();
                    // A busy thread takes the job when it is done; with none, nobody would.
                    if (threads_.empty()) {
                        dropped = std::move(queue_.back());
                        queue_.pop_back();
                    }
                }
            }
        }
    }
    // Outside the lock, so the woken thread does not block on it at once.
    if (wake) work_or_stop_.notify_one();
    // `dropped` is destroyed here, outside the lock: its destructor may answer a request.
}

void ElasticPool::run(Threads::iterator self) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!queue_.empty()) {
            Job job = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            try {
                job();
            } catch (...) {
                // A failing job must not take the process down; its owner reports failures.
            }
            job = nullptr;
            lock.lock();
            // Memory that a burst left free (its connections gone, say) goes back even when
            // jobs keep coming, as a client that pings every second would have them.
            if (std::chrono::steady_clock::now() >= next_release_) release_free_memory(lock);
            continue;
        }
        if (stopping_) return;  // shutdown() joins this thread
        ++idle_;
        const bool woken = work_or_stop_.wait_for(lock, idle_timeout_,
                                                  [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (!woken) break;
    }
    std::thread previous = std::exchange(departed_, std::move(*self));
    threads_.erase(self);
    if (threads_.empty()) release_free_memory(lock);
    lock.unlock();
    if (previous.joinable()) previous.join();
}

void ElasticPool::release_free_memory(std::unique_lock<std::mutex>& lock) {
    next_release_ = std::chrono::steady_clock::now() + idle_timeout_;
    lock.unlock();
    // A burst leaves its memory free but held in the arenas of the threads that served it.
    ::malloc_trim(0);
    lock.lock();
}

void ElasticPool::shutdown() {
    std::deque<Job> dropped;
    Threads threads;
    std::thread departed;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
        threads.swap(threads_);
        departed = std::move(departed_);
    }
    work_or_stop_.notify_all();
    dropped.clear();
    for (std::thread& thread : threads)
        thread.join();
    if (departed.joinable()) departed.join();
}

std::size_t ElasticPool::live_threads() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

std::size_t ElasticPool::idle_threads() const {
    std::lock_guard lock(mutex_);
    return idle_;
}

}  // namespace zembra::service
