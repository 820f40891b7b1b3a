#include "service/linux/worker_threads.hpp"

#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>

namespace zembra::service {
namespace {

using namespace std::chrono_literals;

// More handlers throw than there are threads: were a throw to end its thread, nothing would be
// left to run the handler after them.
TEST(WorkerThreads, AHandlerThatThrowsIsLoggedAndTheLoopGoesOn) {
    boost::asio::io_context loop;
    std::mutex logged_lock;
    std::vector<std::string> logged;
    WorkerThreads threads(loop, [&](std::string line) {
        std::lock_guard lock(logged_lock);
        logged.push_back(std::move(line));
    });
    threads.start(2);
    for (int i = 0; i < 3; ++i)
        boost::asio::post(loop, [] { throw std::runtime_error("bad handler"); });
    std::promise<void> ran;
    boost::asio::post(loop, [&ran] { ran.set_value(); });
    ASSERT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
    threads.stop();
    EXPECT_EQ(logged, std::vector<std::string>(3, "Helper connection failed: bad handler"));
}

}  // namespace
}  // namespace zembra::service
