// Log answers that are never read while the buffer changes between the requests: each would
// otherwise pin a copy of a full buffer of its own.
#include <cstddef>

#include "service/hub/core/log_buffer.hpp"
#include "stress/stress_case.hpp"

namespace zembra::test {
namespace {

constexpr std::size_t CONNECTIONS = 40;

class UnreadLogs : public StressCase {
  protected:
    const CoreAddress core_address_{10};
};

TEST_F(UnreadLogs, WhileTheBufferChangesPinNoMoreThanTheBudget) {
    ASSERT_NO_FATAL_FAILURE(fill_logs_with_long_lines(core_address_));
    const std::size_t held_kib = hub::MAX_HELD_SNAPSHOT_BYTES / 1024 + 2 * FULL_LOGS_KIB;
    const hostile::Outcome outcome = hostile::unread_logs(
        socket(), CONNECTIONS, [this] { log_one_line(); },
        watch({held_kib + CONNECTIONS * IDLE_CONNECTION_KIB + MEMORY_SLACK_KIB, THREAD_BOUND,
               CONNECTIONS + DESCRIPTOR_ALLOWANCE}));
    expect_bounds_held();
    EXPECT_EQ(outcome.requests_sent, CONNECTIONS);
}

}  // namespace
}  // namespace zembra::test
