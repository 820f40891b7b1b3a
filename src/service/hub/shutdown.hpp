// The bounded shutdown: the first SIGTERM or SIGINT starts the server's graceful stop and a
// grace period; the drain ends when the server's run has ended or the grace period has run out.
// Then the Core is released.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "service/linux/signals.hpp"

namespace zembra::hub {

inline constexpr std::chrono::nanoseconds SHUTDOWN_GRACE = std::chrono::seconds(3);

// A one-shot event on a loop: fired from any thread, awaited on the loop's thread.
class LoopEvent {
  public:
    explicit LoopEvent(boost::asio::io_context& loop);

    // Any thread, any number of times; the first call counts. Safe after the loop has stopped.
    void fire() const;
    // On the loop's thread: `handler` runs there once the event has fired.
    void async_wait(std::move_only_function<void()> handler) const;

  private:
    struct State;
    boost::asio::io_context* loop_;
    std::shared_ptr<State> state_;
};

// The shutdown from the first SIGTERM or SIGINT: the server's graceful stop, then a drain that
// waits for the server's end at most `grace` from the signal.
class BoundedShutdown {
  public:
    BoundedShutdown(boost::asio::io_context& loop, service::TerminationSignal signal,
                    std::chrono::nanoseconds grace);

    // `stop_server` runs on the loop when the signal arrives, once the grace period has begun.
    // Call once, before drain().
    void on_signal(std::move_only_function<void()> stop_server);

    // Blocking: runs the loop until `server_ended` has fired or the grace period has passed
    // since the signal. When both are ready at once neither is favoured. Without the signal
    // only the server's end stops the drain. Logs "Helper stopped waiting for unfinished
    // requests" when the grace period wins.
    void drain(const LoopEvent& server_ended);

  private:
    boost::asio::io_context* loop_;
    service::TerminationSignal signal_;
    std::chrono::nanoseconds grace_;
    // Fired when the signal has arrived; the grace period counts from then.
    LoopEvent started_;
};

// Blocking, on the main thread after the drain: sets SHUTTING_DOWN, so no start launches a Core
// from now on, then stops the managed Core under the slot's lock. A failure is logged only.
void release_core_on_shutdown();

}  // namespace zembra::hub
