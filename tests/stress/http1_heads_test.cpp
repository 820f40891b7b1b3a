// HTTP/1.1 clients that hold the helper with bytes that never end a message: a trailer that
// never ends after a refusal, and request heads sent one byte a second.
#include <chrono>
#include <cstddef>

#include "stress/stress_case.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

// The helper lets a begun request head take this long...
constexpr auto HEAD_DEADLINE = 30s;
// ...and closes it a little later on a loaded machine.
constexpr auto HEAD_DEADLINE_BOUND = HEAD_DEADLINE + 10s;

TEST_F(StressCase, TrailerAfterARefusalIsReadOnlyWithinABound) {
    constexpr std::size_t TRAILER_BYTES = 90 << 20;
    const hostile::Outcome outcome = hostile::trailer_flood(
        socket(), TRAILER_BYTES,
        watch({queued_output_bound(1), THREAD_BOUND, DESCRIPTOR_ALLOWANCE + 1}));
    expect_bounds_held();
    EXPECT_EQ(outcome.closed_by_helper, 1u)
        << "the connection was kept after " << outcome.bytes_sent << " bytes";
}

TEST_F(StressCase, RequestHeadsMustEndWithinADeadline) {
    constexpr std::size_t CONNECTIONS = 300;
    const hostile::Outcome outcome =
        hostile::slow_heads(socket(), CONNECTIONS,
                            std::chrono::duration_cast<std::chrono::seconds>(HEAD_DEADLINE_BOUND),
                            watch({CONNECTIONS * IDLE_CONNECTION_KIB + MEMORY_SLACK_KIB,
                                   THREAD_BOUND, CONNECTIONS + DESCRIPTOR_ALLOWANCE}));
    expect_bounds_held();
    EXPECT_EQ(outcome.closed_by_helper, CONNECTIONS);
}

}  // namespace
}  // namespace zembra::test
