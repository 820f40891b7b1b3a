// Many connections that send nothing, under the open-file limit systemd gives a service: the
// owner's next client is served all the same.
#include <sys/resource.h>

#include <chrono>
#include <cstddef>
#include <thread>

#include "stress/stress_case.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

// systemd's default limits on open files for a service.
constexpr unsigned SERVICE_SOFT_DESCRIPTOR_LIMIT = 1024;
constexpr rlim_t SERVICE_HARD_DESCRIPTOR_LIMIT = 524288;
constexpr std::size_t IDLE_CONNECTIONS = 2000;

class UnderServiceLimits : public StressCase {
  protected:
    UnderServiceLimits() : StressCase(service_limits()) {}

    static ServiceOptions service_limits() {
        ServiceOptions options;
        options.descriptor_limit = SERVICE_SOFT_DESCRIPTOR_LIMIT;
        return options;
    }

    // Runs before the helper starts, which inherits the hard limit; this process holds the
    // clients' ends of every connection. Raising the hard limit needs CAP_SYS_RESOURCE.
    static void SetUpTestSuite() {
        rlimit limit{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        rlimit service = {SERVICE_HARD_DESCRIPTOR_LIMIT, SERVICE_HARD_DESCRIPTOR_LIMIT};
        if (limit.rlim_max >= SERVICE_HARD_DESCRIPTOR_LIMIT ||
            ::setrlimit(RLIMIT_NOFILE, &service) != 0) {
            limit.rlim_cur = limit.rlim_max;
            ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        }
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        ASSERT_GT(limit.rlim_cur, IDLE_CONNECTIONS + DESCRIPTOR_ALLOWANCE)
            << "this process cannot hold the clients' ends of the connections";
    }
};

TEST_F(UnderServiceLimits, IdleConnectionsBeyondTheSoftLimitLeaveRoomForTheOwner) {
    const hostile::KeepGoing keep_going =
        watch({IDLE_CONNECTIONS * IDLE_CONNECTION_KIB + MEMORY_SLACK_KIB, THREAD_BOUND,
               IDLE_CONNECTIONS + DESCRIPTOR_ALLOWANCE});
    {
        const auto idle = hostile::idle_connections(socket(), IDLE_CONNECTIONS);
        // The owner's clients are asked while every idle connection is still open.
        const auto until = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < until && keep_going())
            std::this_thread::sleep_for(20ms);
    }
    expect_bounds_held();
}

}  // namespace
}  // namespace zembra::test
