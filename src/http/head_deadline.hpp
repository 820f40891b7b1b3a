// The time a request head that has begun has to complete. A client that trickles a head (or
// never finishes one) would otherwise hold its connection, and a slot under the cap, forever.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include <boost/asio/steady_timer.hpp>

#include "http/transport.hpp"

namespace zembra::http {

class HeadDeadline {
  public:
    using Clock = std::chrono::steady_clock;

    HeadDeadline(const Strand& strand, std::chrono::milliseconds timeout)
        : timer_(strand), timeout_(timeout) {}

    // Expects a head begun at `begun` to be complete `timeout` later; else `expired` runs on the
    // strand. Restarting with the same `begun` keeps the running count.
    void start(Clock::time_point begun, std::move_only_function<void()> expired);
    // The head is complete (or the connection is closing).
    void stop();

  private:
    boost::asio::steady_timer timer_;
    std::chrono::milliseconds timeout_;
    std::optional<Clock::time_point> begun_;
    std::uint64_t generation_ = 0;  // a completion already queued when stopped is stale
};

}  // namespace zembra::http
