#include "http/connection_registry.hpp"

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
    std::function<void()> on_closed;
    {
        std::lock_guard lock(mutex_);
        live_.erase(id);
        if (stopping_ && live_.empty()) on_closed = std::move(on_closed_);
    }
    if (on_closed) on_closed();
}

void ConnectionRegistry::stop(std::function<void()> on_closed) {
    std::vector<std::weak_ptr<Stoppable>> targets;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        if (live_.empty()) {
            boost::asio::post(workers_, std::move(on_closed));
            return;
        }
        on_closed_ = std::move(on_closed);
        for (const auto& [id, target] : live_)
            targets.push_back(target);
    }
    // A connection that has not attached yet learns of the stop when it does.
    for (const std::weak_ptr<Stoppable>& target : targets) {
        if (std::shared_ptr<Stoppable> live = target.lock()) live->stop();
    }
}

}  // namespace zembra::http
