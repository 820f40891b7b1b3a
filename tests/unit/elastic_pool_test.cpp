#include "service/elastic_pool.hpp"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/eventually.hpp"
#include "support/threads.hpp"

namespace zembra::service {
namespace {

using namespace std::chrono_literals;

constexpr auto SHORT_IDLE = 100ms;
// More threads than any test here asks for at once.
constexpr std::size_t ROOMY = 64;

using zembra::test::eventually;
using zembra::test::os_threads;
constexpr auto SETTLE = 5s;

TEST(ElasticPool, QuickJobIsNotQueuedBehindSlowOnes) {
    ElasticPool pool(SHORT_IDLE, ROOMY);
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
    ElasticPool pool(10s, ROOMY);
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
    const std::size_t before = zembra::test::os_threads_baseline();
    ElasticPool pool(SHORT_IDLE, ROOMY);
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

// After a burst, a job now and then must not keep every thread of the burst alive by turns.
TEST(ElasticPool, UnderATrickleOfJobsTheBurstsThreadsLeave) {
    ElasticPool pool(SHORT_IDLE, ROOMY);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    for (int i = 0; i < 4; ++i)
        pool.spawn([released] { released.wait(); });
    release.set_value();
    ASSERT_TRUE(eventually([&] { return pool.idle_threads() == 4; }, SETTLE));

    const auto until = std::chrono::steady_clock::now() + 4 * SHORT_IDLE;
    while (std::chrono::steady_clock::now() < until) {
        pool.spawn([] {});
        std::this_thread::sleep_for(SHORT_IDLE / 5);
    }
    EXPECT_EQ(pool.live_threads(), 1u);
}

TEST(ElasticPool, AtItsCapJobsQueueForTheFirstFreeThread) {
    constexpr std::size_t CAP = 3;
    constexpr int JOBS = 40;
    const std::size_t before = zembra::test::os_threads_baseline();
    std::atomic<std::size_t> started = 0;
    std::atomic<int> finished = 0;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ElasticPool pool(SHORT_IDLE, CAP);
    for (int i = 0; i < JOBS; ++i) {
        pool.spawn([&started, &finished, released] {
            ++started;
            released.wait();
            ++finished;
        });
    }
    EXPECT_TRUE(eventually([&] { return started == CAP; }, SETTLE));
    // Time enough for a queued job to start, had it a thread.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(started, CAP);
    EXPECT_EQ(pool.live_threads(), CAP);
    EXPECT_LE(os_threads(), before + CAP);
    release.set_value();

    EXPECT_TRUE(eventually([&] { return finished == JOBS; }, SETTLE));
    EXPECT_LE(pool.live_threads(), CAP);
}

TEST(ElasticPool, ShutdownDropsQueuedJobsWhileItWaitsForRunningOnes) {
    constexpr std::size_t CAP = 2;
    std::atomic<std::size_t> started = 0;
    std::atomic<std::size_t> finished = 0;
    std::atomic<int> queued_ran = 0;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ElasticPool pool(SHORT_IDLE, CAP);
    for (std::size_t i = 0; i < CAP; ++i) {
        pool.spawn([&started, &finished, released] {
            ++started;
            released.wait();
            ++finished;
        });
    }
    // Owned by the queued jobs alone: it expires once they are all destroyed.
    auto owned = std::make_shared<int>(0);
    const std::weak_ptr<int> queued = owned;
    for (int i = 0; i < 3; ++i)
        pool.spawn([&queued_ran, owned] { ++queued_ran; });
    owned.reset();
    EXPECT_TRUE(eventually([&] { return started == CAP; }, SETTLE));

    std::thread stopping([&pool] { pool.shutdown(); });
    // Dropped at once, not after the running jobs: a dropped request is answered meanwhile.
    EXPECT_TRUE(eventually([&] { return queued.expired(); }, SETTLE));
    EXPECT_EQ(finished, 0u);
    release.set_value();
    stopping.join();
    EXPECT_EQ(finished, CAP);
    EXPECT_EQ(queued_ran, 0);
}

TEST(ElasticPool, ShutdownWaitsForRunningJobsAndRefusesLaterOnes) {
    ElasticPool pool(SHORT_IDLE, ROOMY);
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
    ElasticPool pool(SHORT_IDLE, ROOMY);
    pool.spawn([] { throw std::runtime_error("boom"); });
    std::promise<void> done;
    std::future<void> after = done.get_future();
    pool.spawn([&done] { done.set_value(); });
    EXPECT_EQ(after.wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace zembra::service
