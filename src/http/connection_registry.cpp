#include "http/connection_registry.hpp"

#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

namespace zembra::http {

ConnectionSlot::~ConnectionSlot() {
    if (registry_) registry_->leave(id_);
}

bool ConnectionSlot::attach(std::weak_ptr<Stoppable> target) {
    return registry_->attach(id_, std::move(target));
}

std::optional<ConnectionSlot> ConnectionRegistry::open() {
    std::lock_guard lock(mutex_);
    if (stopping_) return std::nullopt;
    std::size_t id = next_id_++;
    live_.emplace(id, std::weak_ptr<Stoppable>());
    return ConnectionSlot(shared_from_this(), id);
}

bool ConnectionRegistry::attach(std::size_t id, std::weak_ptr<Stoppable> target) {
    std::lock_guard lock(mutex_);
    live_[id] = std::move(target);
    return stopping_;
}

void ConnectionRegistry::leave(std::size_t id) {
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        live_.erase(id);
        last = stopping_ && live_.empty();
    }
    if (last) fire_on_closed();
}

void ConnectionRegistry::fire_on_closed() {
    std::function<void()> on_closed;
    {
        std::lock_guard lock(mutex_);
        on_closed = std::exchange(on_closed_, nullptr);
    }
    if (on_closed) on_closed();
}

void ConnectionRegistry::disarm() {
    std::lock_guard lock(mutex_);
    on_closed_ = nullptr;
}

void ConnectionRegistry::stop(std::function<void()> on_closed) {
    std::vector<std::weak_ptr<Stoppable>> targets;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        on_closed_ = std::move(on_closed);
        if (live_.empty()) {
            boost::asio::post(workers_, [self = shared_from_this()] { self->fire_on_closed(); });
            return;
        }
        for (const auto& [id, target] : live_)
            targets.push_back(target);
    }
    // A connection that has not attached yet learns of the stop when it does.
    for (const std::weak_ptr<Stoppable>& target : targets) {
        if (std::shared_ptr<Stoppable> live = target.lock()) live->stop();
    }
}

}  // namespace zembra::http
