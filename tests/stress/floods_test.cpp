// Floods that many connections bring about together, as a buggy or hostile client of the owner's
// would: starts it gives up on at once (with the owner's Core stopped with SIGSTOP, too), bodies
// it never finishes, Cores it replaces one after another. Each is bounded in all it costs the
// helper, the owner is answered throughout and right after, nothing stays once the pool's idle
// threads have gone, and SIGTERM still ends the helper in time.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

#include "stress/stress_case.hpp"
#include "support/core_slot_hold.hpp"
#include "support/footprint.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What a flood may add to the idle helper, in all.
constexpr std::size_t FLOOD_MEMORY_KIB = 32 * 1024;
constexpr std::size_t FLOOD_THREADS = 32;
// Live connections, and those evicted at the cap whose close still waits its turn on a worker:
// under a flood of new connections, a few hundred for a moment.
constexpr std::size_t FLOOD_DESCRIPTORS = 1024;
// A fresh stop once the flood has ended.
constexpr auto STOP_ANSWERED_WITHIN = 10s;
// The pool lets a thread go once it has idled this long; a little more for a loaded machine.
constexpr auto POOL_IDLE_TIMEOUT = 10s;
constexpr auto THREADS_SETTLE_WITHIN = POOL_IDLE_TIMEOUT + 3s;
// SIGTERM during a flood: the 3 s drain, then a Core that ends on SIGTERM.
constexpr auto EXIT_WITHIN = 3500ms;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The same floods, smaller: the sanitizers' own cost would otherwise stretch them for minutes.
constexpr std::size_t SCALE_DIVISOR = 4;
#else
constexpr std::size_t SCALE_DIVISOR = 1;
#endif

constexpr std::size_t ABANDONED_CONNECTIONS = 3000 / SCALE_DIVISOR;
constexpr std::size_t STARTS_PER_CONNECTION = 100;
// While the slot is held (about 3 s): connections sent within the first part of it, so the helper
// has read them all before the slot is free.
constexpr std::size_t ROUNDS_WHILE_STOPPED = 2;
constexpr auto SEND_WITHIN_ROUND = 1500ms;
constexpr std::size_t UNFINISHED_CONNECTIONS = 128;
constexpr std::size_t UNFINISHED_STREAMS = 100;
constexpr std::size_t REPLACING_STARTS = 400 / SCALE_DIVISOR;
constexpr std::size_t REPLACING_CLIENTS = 8;

// Where a flood runs: the helper and the addresses its starts name.
struct Ground {
    const HelperService& helper;
    const CoreAddress& owner_address;  // the owner's own Core
    const CoreAddress& flood_address;  // the flood's starts
};

using FloodRun = std::function<void(const Ground&, const hostile::KeepGoing&)>;

struct FloodCase {
    const char* name;
    FloodRun run;
    // A start of the flood's may start its Core only when its client was there to take the slot.
    bool starts_nothing = false;
};

void PrintTo(const FloodCase& c, std::ostream* out) {
    *out << c.name;
}

std::string flood_start(const Ground& ground) {
    return start_json(ground.flood_address.path(), SESSION_ID);
}

void abandoned_starts(const Ground& ground, const hostile::KeepGoing& keep_going) {
    hostile::abandoned_starts(ground.helper.socket_path(), ABANDONED_CONNECTIONS,
                              STARTS_PER_CONNECTION, flood_start(ground), keep_going);
}

// In rounds: the owner's Core stopped with SIGSTOP and its stop waiting out the 3 s while
// connections flood in and leave.
void abandoned_starts_while_stopped(const Ground& ground, const hostile::KeepGoing& keep_going) {
    const std::string socket = ground.helper.socket_path();
    for (std::size_t round = 0; round < ROUNDS_WHILE_STOPPED && keep_going(); ++round) {
        CoreSlotHold hold(socket, ground.owner_address, std::string(SESSION_ID));
        const Clock::time_point until = Clock::now() + SEND_WITHIN_ROUND;
        std::size_t sent = 0;
        while (Clock::now() < until && sent < ABANDONED_CONNECTIONS / ROUNDS_WHILE_STOPPED &&
               keep_going()) {
            hostile::abandoned_starts(socket, 10, STARTS_PER_CONNECTION, flood_start(ground),
                                      keep_going);
            sent += 10;
        }
        EXPECT_EQ(hold.release(), 200);
    }
}

void unfinished_bodies(const Ground& ground, const hostile::KeepGoing& keep_going) {
    hostile::unfinished_bodies(ground.helper.socket_path(), UNFINISHED_CONNECTIONS,
                               UNFINISHED_STREAMS, 2s, keep_going);
}

void replacing_starts(const Ground& ground, const hostile::KeepGoing& keep_going) {
    std::size_t most_readers = 0;
    hostile::replacing_starts(
        ground.helper.socket_path(), flood_start(ground), REPLACING_STARTS, REPLACING_CLIENTS, [&] {
            most_readers =
                std::max(most_readers, threads_named(ground.helper.pid(), "core-stderr"));
            return keep_going();
        });
    EXPECT_LE(most_readers, 2u) << "Core stderr readers at once: the live Core's and one finishing";
}

const FloodCase FLOODS[] = {
    {"AbandonedStarts", abandoned_starts},
    {"AbandonedStartsWhileTheCoreIsStopped", abandoned_starts_while_stopped, true},
    {"UnfinishedBodies", unfinished_bodies},
    {"ReplacedCores", replacing_starts},
};

class Flood : public StressCase, public testing::WithParamInterface<FloodCase> {
  protected:
    Ground ground() const { return {helper_, owner_address_, flood_address_}; }

    // A fresh POST /stop as the owner's client sends it.
    static HttpAnswer stop() {
        return curl_exchange(Protocol::Http1, {.method = "POST",
                                               .target = "/stop",
                                               .body = stop_json(SESSION_ID),
                                               .content_type = "application/json"});
    }

    const CoreAddress owner_address_{21};
    const CoreAddress flood_address_{22};
};

TEST_P(Flood, StaysBoundedAndLeavesNothingBehind) {
    const FloodCase& flood = GetParam();
    const std::size_t idle_threads = read_footprint(helper_.pid())->threads;
    flood.run(ground(), watch({FLOOD_MEMORY_KIB, FLOOD_THREADS, FLOOD_DESCRIPTORS}));
    const Clock::time_point asked = Clock::now();
    const HttpAnswer stopped = stop();
    EXPECT_LE(Clock::now() - asked, STOP_ANSWERED_WITHIN);
    EXPECT_TRUE(stopped.status == 200 || stopped.status == 409 || stopped.status == 503)
        << stopped.status << " " << stopped.body;
    // The flood may leave a Core running, and a start the helper was still reading when the
    // flood ended may start one after that stop.
    EXPECT_TRUE(eventually([] { return stop().body.ends_with(R"("reason":"notRunning"})"); }, 10s));
    expect_bounds_held();
    if (flood.starts_nothing) {
        EXPECT_EQ(logs().find("started for " + flood_address_.path()), std::string::npos)
            << "a Core was started for a start whose client had gone";
    }
    EXPECT_TRUE(
        eventually([&] { return read_footprint(helper_.pid())->threads <= idle_threads; },
                   std::chrono::duration_cast<std::chrono::milliseconds>(THREADS_SETTLE_WITHIN)))
        << read_footprint(helper_.pid())->threads << " threads, " << idle_threads << " when idle";
}

TEST_P(Flood, SigtermDuringItEndsTheHelperInTime) {
    std::atomic<bool> ended = false;
    std::thread flood([&] {
        try {
            GetParam().run(ground(), [&] { return !ended.load(); });
        } catch (const std::exception&) {
            // The helper going away in the middle is the point.
        }
    });
    std::this_thread::sleep_for(1s);
    helper_.signal(SIGTERM);
    const std::optional<ServiceExit> exit = helper_.wait_for_exit(10s);
    ended = true;
    flood.join();
    ASSERT_TRUE(exit.has_value()) << "still running 10 s after SIGTERM";
    EXPECT_TRUE(exit->exited_with(0)) << "wait status " << exit->wait_status;
    EXPECT_LE(exit->elapsed, EXIT_WITHIN) << exit->seconds() << " s";
}

INSTANTIATE_TEST_SUITE_P(Aggregate, Flood, testing::ValuesIn(FLOODS),
                         [](const testing::TestParamInfo<FloodCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zembra::test
