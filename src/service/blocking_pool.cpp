#include "service/blocking_pool.hpp"

#include <chrono>

#include "service/elastic_pool.hpp"

namespace zembra::service {
namespace {

// Long enough that a burst of requests reuses its threads, short enough that an idle service
// soon holds none.
constexpr std::chrono::seconds IDLE_THREAD_LIFETIME{10};

ElasticPool& lane_pool(BlockingLane lane) {
    static ElasticPool core_slot(IDLE_THREAD_LIFETIME, CORE_SLOT_LANE_THREADS,
                                 {.jobs = MAX_WAITING_CORE_SLOT_JOBS,
                                  .jobs_per_source = MAX_WAITING_CORE_SLOT_JOBS_PER_CONNECTION});
    static ElasticPool quick(IDLE_THREAD_LIFETIME, QUICK_LANE_THREADS);
    return lane == BlockingLane::CoreSlot ? core_slot : quick;
}

}  // namespace

std::optional<BlockingTicket> spawn_blocking(BlockingLane lane, BlockingJob job,
                                             std::uint64_t connection) {
    return lane_pool(lane).spawn(std::move(job), connection);
}

void withdraw_blocking(BlockingLane lane, BlockingTicket ticket) {
    lane_pool(lane).withdraw(ticket);
}

void shutdown_blocking_pool() {
    // Pings end within moments; the slot lane's running job may take seconds.
    lane_pool(BlockingLane::Quick).shutdown();
    lane_pool(BlockingLane::CoreSlot).shutdown();
}

}  // namespace zembra::service
