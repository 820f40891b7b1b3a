// The SIGTERM and SIGINT listeners that end service mode. Once registered, neither signal has
// its default effect for the rest of the process's life: a delivery only wakes the loop.
#pragma once

#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "error.hpp"

namespace zembra::service {

class TerminationSignal {
  public:
    // Registers SIGTERM, then SIGINT; SIGINT is not tried when SIGTERM fails.
    static Result<TerminationSignal> listen(boost::asio::io_context& loop);

    TerminationSignal(TerminationSignal&&) noexcept;
    TerminationSignal& operator=(TerminationSignal&&) noexcept;
    // Releases the listeners: later deliveries are ignored.
    ~TerminationSignal();

    // Calls `on_signal` once, on the loop's thread, at the first SIGTERM or SIGINT since
    // registration (at once if one already arrived), then releases the listeners. Never called
    // when the loop is destroyed first. Call once.
    void async_wait(std::move_only_function<void()> on_signal);

  private:
    struct State;
    explicit TerminationSignal(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace zembra::service
