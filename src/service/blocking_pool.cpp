#include "service/blocking_pool.hpp"

#include <chrono>

#include "service/elastic_pool.hpp"

namespace zembra::service {
namespace {

// Long enough that a burst of requests reuses its threads, short enough that an idle service
// soon holds none.
constexpr std::chrono::seconds IDLE_THREAD_LIFETIME{10};

ElasticPool& blocking_pool() {
    static ElasticPool pool(IDLE_THREAD_LIFETIME);
    return pool;
}

}  // namespace

void spawn_blocking(std::move_only_function<void()> job) {
    blocking_pool().spawn(std::move(job));
}

void shutdown_blocking_pool() {
    blocking_pool().shutdown();
}

}  // namespace zembra::service
