// The bounded shutdown: the first SIGTERM or SIGINT starts the server's graceful stop and a
// grace period; the drain ends when the server's run has ended or the grace period has run out.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "service/linux/signals.hpp"

namespace zembra::hub {

struct BoundedShutdown;

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

// Hands the termination signal on to the server as its graceful-stop trigger.
class ShutdownTrigger {
  public:
    // When the signal arrives: fires the shutdown-started notification, then runs
    // `stop_server` on the loop. Call once.
    void async_wait(std::move_only_function<void()> stop_server);

  private:
    friend BoundedShutdown bounded_shutdown_within(boost::asio::io_context& loop,
                                                   service::TerminationSignal signal,
                                                   std::chrono::nanoseconds grace);
    ShutdownTrigger(service::TerminationSignal signal, std::shared_ptr<LoopEvent> started);
    service::TerminationSignal signal_;
    std::shared_ptr<LoopEvent> started_;
};

class ShutdownDrain {
  public:
    // Blocking: runs the loop until `server_ended` has fired or `grace` has passed since the
    // shutdown-started notification. When both are ready at once neither is favoured. Without
    // the notification only the server's end stops the drain. Logs "Helper stopped waiting for
    // unfinished requests" when the grace period wins.
    void serve(const LoopEvent& server_ended);

  private:
    friend BoundedShutdown bounded_shutdown_within(boost::asio::io_context& loop,
                                                   service::TerminationSignal signal,
                                                   std::chrono::nanoseconds grace);
    ShutdownDrain(boost::asio::io_context& loop, std::shared_ptr<LoopEvent> started,
                  std::chrono::nanoseconds grace);
    boost::asio::io_context* loop_;
    std::shared_ptr<LoopEvent> started_;
    std::chrono::nanoseconds grace_;
};

// The two ends of one shutdown-started notification.
struct BoundedShutdown {
    ShutdownTrigger trigger;
    ShutdownDrain drain;
};

BoundedShutdown bounded_shutdown_within(boost::asio::io_context& loop,
                                        service::TerminationSignal signal,
                                        std::chrono::nanoseconds grace);

// Blocking, on the main thread after the drain: sets SHUTTING_DOWN, so no start launches a Core
// from now on, then stops the managed Core under the slot's lock. A failure is logged only.
void release_core_on_shutdown();

}  // namespace zembra::hub
