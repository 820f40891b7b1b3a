#include "service/blocking_pool.hpp"

#include <chrono>

#include "service/elastic_pool.hpp"

namespace zembra::service {
namespace {

// Long enough that a burst of requests reuses its threads, short enough that an idle service
// soon holds none.
constexpr std::chrono::seconds IDLE_THREAD_LIFETIME{10};

ElasticPool& lane_pool(BlockingLane lane) {
    static ElasticPool core_slot(IDLE_THREAD_LIFETIME, CORE_SLOT_LANE_THREADS);
    static ElasticPool quick(IDLE_THREAD_LIFETIME, QUICK_LANE_THREADS);
    return lane == BlockingLane::CoreSlot ? core_slot : quick;
}

}  // namespace

void spawn_blocking(BlockingLane lane, std::move_only_function<void()> job) {
    lane_pool(lane).spawn(std::move(job));
}

void shutdown_blocking_pool() {
    // Pings end within moments; the slot lane's running jobs may take seconds.
    lane_pool(BlockingLane::Quick).shutdown();
    lane_pool(BlockingLane::CoreSlot).shutdown();
}

}  // namespace zembra::service
