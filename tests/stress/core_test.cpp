// The Core's side: a crowd of stops while one waits on a Core that ignores SIGTERM, and a Core
// that closes its standard error long before it exits.
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

#include "service/blocking_pool.hpp"
#include "stress/stress_case.hpp"
#include "support/footprint.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST_F(StressCase, ParallelStopsQueueBehindAStubbornCore) {
    constexpr std::size_t PARALLEL_STOPS = 1000;
    // Within the helper's stream limit on each connection, so every stop is let in.
    constexpr std::size_t CONNECTIONS = 10;
    const CoreAddress address(7);
    start_core(address, "ignore-term\nprint deaf to SIGTERM\\n\n");
    ASSERT_TRUE(eventually([&] { return logs().find("deaf") != std::string::npos; }));

    const hostile::Outcome outcome =
        hostile::parallel_stops(socket(), std::string(SESSION_ID), PARALLEL_STOPS, CONNECTIONS,
                                watch({queued_output_bound(CONNECTIONS + 1), THREAD_BOUND,
                                       CONNECTIONS + 1 + DESCRIPTOR_ALLOWANCE}));
    expect_bounds_held();
    // The first stop ends the Core; each one that found room in the queue still answers
    // ("notRunning"), the others are told to try again.
    EXPECT_EQ(outcome.requests_sent, PARALLEL_STOPS + 1);
    EXPECT_EQ(outcome.answered_ok + outcome.answered_busy, outcome.requests_sent);
    EXPECT_GE(outcome.answered_ok, 1 + service::MAX_WAITING_CORE_SLOT_JOBS);
    EXPECT_EQ(outcome.closed_by_helper, 0u);
}

// The Core's reader stops looking for the exit 1.5 s after end of input; this Core exits later.
TEST_F(StressCase, CoreThatExitsLongAfterClosingStderrIsReaped) {
    constexpr auto EXIT_AFTER = 2500ms;
    // The reap follows the exit at once; the rest is room for a loaded machine.
    constexpr auto REAPED_WITHIN = EXIT_AFTER + 3s;
    const hostile::KeepGoing keep_going =
        watch({MEMORY_SLACK_KIB, THREAD_BOUND, DESCRIPTOR_ALLOWANCE});
    const CoreAddress address(10);
    const Clock::time_point started = Clock::now();
    const pid_t core = start_core(
        address, "close-stderr\nsleep " + std::to_string(EXIT_AFTER.count()) + "\nexit 3\n");
    ASSERT_GT(core, 0);
    // Running, then a zombie until the helper reaps it, then gone.
    const auto child_of_helper = [&] {
        const std::optional<ProcessState> state = read_process_state(core);
        return state && state->parent == helper_.pid();
    };
    ASSERT_TRUE(child_of_helper());
    while (child_of_helper() && Clock::now() - started < REAPED_WITHIN && keep_going())
        std::this_thread::sleep_for(20ms);
    const auto reaped_after = Clock::now() - started;
    const std::optional<ProcessState> state = read_process_state(core);
    EXPECT_FALSE(child_of_helper())
        << "the Core is still the helper's child in state " << (state ? state->state : '?')
        << " after " << REAPED_WITHIN.count() << " ms";
    EXPECT_GE(reaped_after, EXIT_AFTER) << "the Core ended before its time";
    // A stop empties the slot of the exited Core's record, and so of its descriptors.
    EXPECT_EQ(curl_exchange(Protocol::Http1, {.method = "POST",
                                              .target = "/stop",
                                              .body = stop_json(SESSION_ID),
                                              .content_type = "application/json"})
                  .status,
              200);
    expect_bounds_held();
}

}  // namespace
}  // namespace zembra::test
