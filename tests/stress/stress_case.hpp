// Shared ground of the stress cases: a helper started as its unit starts it, a watch over what
// it holds while a hostile client runs, the bounds every case shares, and a clean exit at the
// end (a sanitizer's report would land on the helper's stderr).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "e2e/api_fixture.hpp"
#include "support/core_address.hpp"
#include "support/eventually.hpp"
#include "support/helper_watch.hpp"
#include "support/hostile_clients.hpp"

namespace zembra::test {

// Main, one worker per hardware thread, a blocking pool capped at a few dozen, a Core's reader.
inline constexpr std::size_t THREAD_BOUND = 64;
// Beyond the case's connections: standard streams, listener, event loops, a Core's descriptors.
inline constexpr std::size_t DESCRIPTOR_ALLOWANCE = 32;
// The unsent output a sound server lets one connection queue before it stops reading from it.
inline constexpr std::size_t OUTPUT_PER_CONNECTION_KIB = 1024;
// Allocator arenas, library buffers and thread stacks that any burst of work touches.
inline constexpr std::size_t MEMORY_SLACK_KIB = 8 * 1024;
// What an idle connection may cost: its session, a read buffer of a few KiB, loop bookkeeping.
inline constexpr std::size_t IDLE_CONNECTION_KIB = 16;

// The most the log buffer holds: 100 lines of 64 KiB.
inline constexpr std::size_t FULL_LOGS_KIB = 100 * 64 + 1;

// Memory for `connections` connections that may each have a full output queue.
constexpr std::size_t queued_output_bound(std::size_t connections) {
    return connections * OUTPUT_PER_CONNECTION_KIB + MEMORY_SLACK_KIB;
}

class StressCase : public testing::Test {
  protected:
    explicit StressCase(ServiceOptions options = {})
        : helper_(stressed_service_options(std::move(options))) {}

    void TearDown() override { expect_clean_exit(helper_); }

    // Takes the idle footprint now; the returned function samples it and asks the owner's
    // question between the client's steps.
    hostile::KeepGoing watch(Bounds bounds) {
        watch_.emplace(helper_, bounds);
        return [this] { return watch_->keep_going(); };
    }
    void expect_bounds_held() { watch_->expect_bounds_held(); }

    const std::string& socket() const { return helper_.socket_path(); }

    // Starts a Core that follows `commands` (see tests/fake_core/main.cpp); its pid.
    pid_t start_core(const CoreAddress& address, const std::string& commands) {
        address.set_core_commands(commands);
        const HttpAnswer answer =
            curl_exchange(Protocol::Http1, {.method = "POST",
                                            .target = "/start",
                                            .body = start_json(address.path(), SESSION_ID),
                                            .content_type = "application/json"});
        EXPECT_EQ(answer.status, 200) << answer.body;
        return started_pid(answer);
    }

    std::string logs() { return curl_exchange(Protocol::Http1, {.target = "/logs"}).body; }

    // Has a Core fill the log buffer with its longest lines.
    void fill_logs_with_long_lines(const CoreAddress& address) {
        std::string commands;
        for (int line = 0; line < 100; ++line)
            commands += "long 65536\n";
        start_core(address, commands);
        ASSERT_TRUE(
            eventually([&] { return logs().size() >= 100 * 65536; }, std::chrono::seconds(10)));
    }

    // A ping with the wrong digest logs one line.
    void log_one_line() {
        curl_exchange(Protocol::Http1, {.target = ping_target(std::string(64, '0'))});
    }

    HelperService helper_;
    std::optional<HelperWatch> watch_;
};

}  // namespace zembra::test
