#include "service/elastic_pool.hpp"

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/eventually.hpp"

namespace zembra::service {
namespace {

using namespace std::chrono_literals;

constexpr auto SHORT_IDLE = 100ms;

std::size_t os_threads() {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

using zembra::test::eventually;
constexpr auto SETTLE = 5s;

TEST(ElasticPool, QuickJobIsNotQueuedBehindSlowOnes) {
    ElasticPool pool(SHORT_IDLE);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    for (int i = 0; i < 3; ++i)
        pool.spawn([released] { released.wait(); });

    std::promise<void> quick_done;
    std::future<void> quick = quick_done.get_future();
    pool.spawn([&quick_done] { quick_done.set_value(); });
    EXPECT_EQ(quick.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pool.live_threads(), 4u);
    release.set_value();
}

TEST(ElasticPool, ReusesAnIdleThread) {
    ElasticPool pool(10s);
    for (int i = 0; i < 5; ++i) {
        std::promise<std::thread::id> ran_on;
        std::future<std::thread::id> id = ran_on.get_future();
        pool.spawn([&ran_on] { ran_on.set_value(std::this_thread::get_id()); });
        ASSERT_EQ(id.wait_for(5s), std::future_status::ready);
        // The job's thread counts as busy until it waits again; let it get there.
        ASSERT_TRUE(eventually([&] { return pool.idle_threads() == 1; }, SETTLE));
    }
    EXPECT_EQ(pool.live_threads(), 1u);
}

TEST(ElasticPool, IdleThreadsLeave) {
    // A sanitizer runtime starts a helper thread of its own with the first thread: let it.
    std::thread([] {}).join();
    const std::size_t before = os_threads();
    ElasticPool pool(SHORT_IDLE);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    for (int i = 0; i < 3; ++i)
        pool.spawn([released] { released.wait(); });
    EXPECT_EQ(pool.live_threads(), 3u);
    release.set_value();

    EXPECT_TRUE(eventually([&] { return pool.live_threads() == 0; }, SETTLE));
    // Not just forgotten: gone from the kernel too. (Other pools' threads may leave meanwhile.)
    EXPECT_TRUE(eventually([&] { return os_threads() <= before; }, SETTLE));
}

TEST(ElasticPool, ShutdownWaitsForRunningJobsAndRefusesLaterOnes) {
    ElasticPool pool(SHORT_IDLE);
    std::atomic<bool> finished = false;
    std::promise<void> started;
    std::future<void> running = started.get_future();
    pool.spawn([&] {
        started.set_value();
        std::this_thread::sleep_for(200ms);
        finished = true;
    });
    running.wait();
    pool.shutdown();
    EXPECT_TRUE(finished);
    EXPECT_EQ(pool.live_threads(), 0u);

    // A refused job is destroyed without running: whatever it owns is released.
    auto owned = std::make_shared<int>(0);
    std::weak_ptr<int> watch = owned;
    bool ran = false;
    pool.spawn([owned = std::move(owned), &ran] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(watch.expired());
    pool.shutdown();
}

TEST(ElasticPool, AThrowingJobDoesNotEndThePool) {
    ElasticPool pool(SHORT_IDLE);
    pool.spawn([] { throw std::runtime_error("boom"); });
    std::promise<void> done;
    std::future<void> after = done.get_future();
    pool.spawn([&done] { done.set_value(); });
    EXPECT_EQ(after.wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace zembra::service
