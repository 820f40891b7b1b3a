#include "service/hub/shutdown.hpp"

#include <signal.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "service/hub/api/logs_request.hpp"
#include "service/hub/core/log_buffer.hpp"

namespace zembra::hub {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds TEST_GRACE = 300ms;
constexpr std::string_view STOPPED_WAITING = "Helper stopped waiting for unfinished requests";

std::size_t stopped_waiting_lines() {
    const std::string logs(get_logs().body.view());
    std::size_t count = 0;
    for (std::size_t at = logs.find(STOPPED_WAITING); at != std::string::npos;
         at = logs.find(STOPPED_WAITING, at + 1))
        ++count;
    return count;
}

// A drain over a real SIGTERM listener, with a server whose end the test controls.
class ShutdownDrainTest : public testing::Test {
  protected:
    void SetUp() override {
        auto signal = service::TerminationSignal::listen(loop);
        ASSERT_TRUE(signal) << signal.error().text();
        shutdown.emplace(loop, std::move(*signal), TEST_GRACE);
        logged_before = stopped_waiting_lines();
    }

    // The graceful stop the signal starts: the server's run ends `after` later.
    void stop_server_after(std::chrono::milliseconds after) {
        shutdown->on_signal([this, after] {
            stop_started = Clock::now();
            ending = std::jthread([this, after] {
                std::this_thread::sleep_for(after);
                server_ended.fire();
            });
        });
    }

    // Runs the drain; how long it took from the shutdown's start.
    Clock::duration drain_after_signal() {
        ::kill(::getpid(), SIGTERM);
        shutdown->drain(server_ended);
        return Clock::now() - stop_started;
    }

    boost::asio::io_context loop;
    std::optional<BoundedShutdown> shutdown;
    LoopEvent server_ended{loop};
    Clock::time_point stop_started{};
    std::jthread ending;
    std::size_t logged_before = 0;
};

TEST_F(ShutdownDrainTest, EndsWhenTheServerEndsWithinTheGrace) {
    stop_server_after(50ms);
    const Clock::duration took = drain_after_signal();
    EXPECT_GE(took, 50ms);
    EXPECT_LT(took, TEST_GRACE);
    EXPECT_EQ(stopped_waiting_lines(), logged_before);
}

TEST_F(ShutdownDrainTest, StopsWaitingWhenTheGraceRunsOut) {
    stop_server_after(1000ms);
    const Clock::duration took = drain_after_signal();
    EXPECT_GE(took, TEST_GRACE);
    EXPECT_LT(took, TEST_GRACE + 500ms);
    EXPECT_EQ(stopped_waiting_lines(), logged_before + 1);
}

TEST_F(ShutdownDrainTest, WithoutTheNotificationOnlyTheServersEndCounts) {
    // No signal: nothing starts the shutdown, so no grace timer runs.
    const Clock::time_point started = Clock::now();
    std::jthread ending([this] {
        std::this_thread::sleep_for(TEST_GRACE + 300ms);
        server_ended.fire();
    });
    shutdown->drain(server_ended);
    EXPECT_GE(Clock::now() - started, TEST_GRACE + 300ms);
    EXPECT_EQ(stopped_waiting_lines(), logged_before);
}

TEST(LoopEventTest, FiresOnceOnTheLoopThreadWhetherFiredBeforeOrAfterTheWait) {
    for (const bool fire_first : {true, false}) {
        SCOPED_TRACE(fire_first ? "fired before the wait" : "fired after the wait");
        boost::asio::io_context loop;
        const LoopEvent event(loop);
        int runs = 0;
        std::thread::id ran_on;
        if (fire_first) event.fire();
        event.async_wait([&] {
            ++runs;
            ran_on = std::this_thread::get_id();
        });
        std::jthread firer([&] {
            event.fire();
            event.fire();
        });
        firer.join();
        loop.run();
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(ran_on, std::this_thread::get_id());
    }
}

}  // namespace
}  // namespace zembra::hub
