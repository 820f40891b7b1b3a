#include "service/hub/shutdown.hpp"

#include <random>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/managed_core.hpp"

namespace zembra::hub {

// Touched on the loop's thread only: fire() posts there.
struct LoopEvent::State {
    bool fired = false;
    std::move_only_function<void()> waiter;
};

LoopEvent::LoopEvent(boost::asio::io_context& loop)
    : loop_(&loop), state_(std::make_shared<State>()) {}

void LoopEvent::fire() const {
    boost::asio::post(*loop_, [state = state_] {
        if (state->fired) return;
        state->fired = true;
        if (state->waiter) std::exchange(state->waiter, nullptr)();
    });
}

void LoopEvent::async_wait(std::move_only_function<void()> handler) const {
    if (state_->fired) {
        boost::asio::post(*loop_, std::move(handler));
    } else {
        state_->waiter = std::move(handler);
    }
}

BoundedShutdown::BoundedShutdown(boost::asio::io_context& loop, service::TerminationSignal signal,
                                 std::chrono::nanoseconds grace)
    : loop_(&loop), signal_(std::move(signal)), grace_(grace), started_(loop) {}

void BoundedShutdown::on_signal(std::move_only_function<void()> stop_server) {
    signal_.async_wait([started = started_, stop_server = std::move(stop_server)]() mutable {
        started.fire();
        stop_server();
    });
}

void BoundedShutdown::drain(const LoopEvent& server_ended) {
    struct Outcome {
        bool server_ended = false;
        bool grace_over = false;
    };
    auto outcome = std::make_shared<Outcome>();
    auto timer = std::make_shared<boost::asio::steady_timer>(*loop_);
    server_ended.async_wait([outcome] { outcome->server_ended = true; });
    started_.async_wait([outcome, timer, grace = grace_] {
        timer->expires_after(grace);
        timer->async_wait([outcome](boost::system::error_code error) {
            if (!error) outcome->grace_over = true;
        });
    });

    const auto keep_running = boost::asio::make_work_guard(*loop_);
    while (!outcome->server_ended && !outcome->grace_over) {
        if (loop_->run_one() == 0) break;
    }
    // Whatever else became ready in the same turn gets its say, so neither side is favoured
    // by the order in which the loop happened to run them.
    loop_->poll();
    timer->cancel();

    const bool waited_out =
        outcome->grace_over && (!outcome->server_ended || std::random_device{}() % 2 == 0);
    if (waited_out) log_message("Helper stopped waiting for unfinished requests");
}

void release_core_on_shutdown() {
    SHUTTING_DOWN.store(true, std::memory_order_seq_cst);
    auto slot = service::lock_surviving_poison(MANAGED_CORE);
    if (auto released = release_managed_core(*slot); !released)
        log_message("Helper could not stop the managed Core on shutdown: " +
                    released.error().text());
}

}  // namespace zembra::hub
