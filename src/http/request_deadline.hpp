// The time a request that has begun has to arrive whole, head and body. A client that trickles a
// request (or never finishes one) would otherwise hold its connection, its slot under the cap and
// the bytes it has sent so far, forever.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include <boost/asio/steady_timer.hpp>

#include "http/transport.hpp"

namespace zembra::http {

class RequestDeadline {
  public:
    using Clock = std::chrono::steady_clock;

    RequestDeadline(const Strand& strand, std::chrono::milliseconds timeout)
        : timer_(strand), timeout_(timeout) {}

    // Expects a request begun at `begun` to be whole `timeout` later; else `expired` runs on the
    // strand. Restarting with the same `begun` keeps the running count.
    void start(Clock::time_point begun, std::move_only_function<void()> expired);
    // The request is whole (or the connection is closing).
    void stop();

  private:
    boost::asio::steady_timer timer_;
    std::chrono::milliseconds timeout_;
    std::optional<Clock::time_point> begun_;
    std::uint64_t generation_ = 0;  // a completion already queued when stopped is stale
};

}  // namespace zembra::http
