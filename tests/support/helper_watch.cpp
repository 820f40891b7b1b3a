#include "support/helper_watch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <exception>

#include "support/eventually.hpp"
#include "support/http_answer.hpp"
#include "support/unix_client.hpp"

namespace zembra::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds SAMPLE_INTERVAL{10};
constexpr milliseconds PROBE_INTERVAL{500};
// A full log buffer is 6.5 MB: its bytes may take longer than its head on a loaded machine.
constexpr milliseconds WHOLE_ANSWER_WITHIN{10000};
// Connections that ended are closed within a second (a lingering close); a Core that exited is
// reaped at once.
constexpr milliseconds SETTLE_BOUND{5000};

#if defined(__SANITIZE_ADDRESS__)
// Freed blocks wait in the quarantine before reuse; a small one still catches a use after free.
constexpr std::size_t QUARANTINE_MIB = 16;
// Redzones around every block, coarser size classes and per-thread caches: a burst of work
// costs several times its plain bytes.
constexpr std::size_t MEMORY_SCALE = 4;
constexpr std::size_t SANITIZER_SLACK_KIB = QUARANTINE_MIB * 1024;
#elif defined(__SANITIZE_THREAD__)
// Shadow and metadata: several bytes for every byte the program touches.
constexpr std::size_t MEMORY_SCALE = 6;
constexpr std::size_t SANITIZER_SLACK_KIB = 0;
#else
constexpr std::size_t MEMORY_SCALE = 1;
constexpr std::size_t SANITIZER_SLACK_KIB = 0;
#endif

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

}  // namespace

Probe probe_logs(const std::string& socket) {
    const Clock::time_point started = Clock::now();
    Probe probe;
    try {
        UnixClient client(socket, TEST_OWNER_UID, TEST_OWNER_GID);
        client.send("GET /logs HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
        const bool head_arrived =
            client.read_until("\r\n\r\n", SERVED_WITHIN).find("\r\n\r\n") != std::string::npos;
        probe.took = since(started);
        if (!head_arrived || probe.took > SERVED_WITHIN) {
            probe.failure = "no answer within 1 s (" + std::to_string(client.received().size()) +
                            " bytes after " + std::to_string(probe.took.count()) + " ms)";
            return probe;
        }
        if (!client.read_to_eof(WHOLE_ANSWER_WITHIN)) {
            probe.failure = "the answer did not end within 10 s";
            return probe;
        }
        const HttpAnswer answer = parse_http_answer(client.received());
        probe.served = answer.status == 200 &&
                       answer.field("content-length") == std::to_string(answer.body.size());
        if (!probe.served) {
            probe.failure = "answered " + std::to_string(answer.status) + " with " +
                            std::to_string(answer.body.size()) + " body bytes";
        }
    } catch (const std::exception& error) {
        probe.took = since(started);
        probe.failure = error.what();
    }
    return probe;
}

ServiceOptions stressed_service_options(ServiceOptions options) {
#if defined(__SANITIZE_ADDRESS__)
    const char* inherited = std::getenv("ASAN_OPTIONS");
    options.extra_env.push_back(
        "ASAN_OPTIONS=" + (inherited ? std::string(inherited) + ":" : std::string()) +
        "quarantine_size_mb=" + std::to_string(QUARANTINE_MIB) +
        ":thread_local_quarantine_size_kb=64");
#endif
    return options;
}

HelperWatch::HelperWatch(const HelperService& helper, Bounds bounds)
    : pid_(helper.pid()), socket_(helper.socket_path()), bounds_(bounds) {
    probe();
    if (const std::optional<Footprint> idle = read_footprint(pid_)) {
        idle_ = *idle;
        peak_ = *idle;
    } else {
        helper_gone_ = true;
    }
}

bool HelperWatch::keep_going() {
    const Clock::time_point now = Clock::now();
    if (now - last_sample_ >= SAMPLE_INTERVAL) sample();
    if (now - last_probe_ >= PROBE_INTERVAL) probe();
    return !exceeded_ && !helper_gone_;
}

void HelperWatch::sample() {
    last_sample_ = Clock::now();
    const std::optional<Footprint> now = read_footprint(pid_);
    if (!now) {
        helper_gone_ = true;
        return;
    }
    peak_.resident_kib = std::max(peak_.resident_kib, now->resident_kib);
    peak_.threads = std::max(peak_.threads, now->threads);
    peak_.descriptors = std::max(peak_.descriptors, now->descriptors);
    exceeded_ = exceeded_ || peak_.resident_kib > idle_.resident_kib + memory_bound_kib() ||
                peak_.threads > bounds_.threads || peak_.descriptors > bounds_.descriptors;
}

std::size_t HelperWatch::memory_bound_kib() const {
    return bounds_.memory_growth_kib * MEMORY_SCALE + SANITIZER_SLACK_KIB;
}

void HelperWatch::probe() {
    const Probe probe = probe_logs(socket_);
    last_probe_ = Clock::now();
    ++probes_;
    if (!probe.served) probe_failures_.push_back(probe.failure);
}

void HelperWatch::expect_bounds_held() {
    probe();
    sample();
    const std::size_t memory_bound = memory_bound_kib();
    const std::size_t growth =
        peak_.resident_kib > idle_.resident_kib ? peak_.resident_kib - idle_.resident_kib : 0;
    EXPECT_FALSE(helper_gone_) << "the helper exited during the case";
    EXPECT_LE(growth, memory_bound) << "resident memory growth (KiB)";
    EXPECT_LE(peak_.threads, bounds_.threads) << "threads";
    EXPECT_LE(peak_.descriptors, bounds_.descriptors) << "open descriptors";
    const bool settled = eventually(
        [&] {
            const std::optional<Footprint> now = read_footprint(pid_);
            return now && now->descriptors <= idle_.descriptors;
        },
        SETTLE_BOUND);
    EXPECT_TRUE(settled) << "descriptors stay above the idle " << idle_.descriptors
                         << " after the clients left";
    EXPECT_TRUE(probe_failures_.empty())
        << probe_failures_.size() << " of " << probes_
        << " owner clients were not served GET /logs within 1 s; the first: "
        << (probe_failures_.empty() ? "" : probe_failures_.front());
}

}  // namespace zembra::test
