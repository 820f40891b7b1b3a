#include "http/request_deadline.hpp"

namespace zembra::http {

void RequestDeadline::start(Clock::time_point begun, std::move_only_function<void()> expired) {
    if (begun_ == begun) return;
    begun_ = begun;
    timer_.expires_at(begun + timeout_);
    timer_.async_wait([this, generation = ++generation_,
                       expired = std::move(expired)](boost::system::error_code ec) mutable {
        if (ec || generation != generation_) return;
        begun_.reset();
        expired();
    });
}

void RequestDeadline::stop() {
    if (!begun_) return;
    begun_.reset();
    ++generation_;
    timer_.cancel();
}

}  // namespace zembra::http
