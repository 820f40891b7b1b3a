#include "http/connection_registry.hpp"

#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

namespace zembra::http {

ConnectionSlot::~ConnectionSlot() {
    if (registry_) registry_->leave(member_);
}

std::uint64_t ConnectionSlot::id() const {
    return member_->id;
}

bool ConnectionSlot::evicted() const {
    return member_->evicted.load(std::memory_order_relaxed);
}

bool ConnectionSlot::attach(std::weak_ptr<Connection> target) {
    return registry_->attach(member_, std::move(target));
}

void ConnectionSlot::idle() {
    if (idle_) return;
    idle_ = true;
    served();
}

void ConnectionSlot::served() {
    if (!idle_) return;
    member_->idle_since.store(Member::Clock::now().time_since_epoch().count(),
                              std::memory_order_relaxed);
}

void ConnectionSlot::busy() {
    if (!idle_) return;
    idle_ = false;
    member_->idle_since.store(Member::BUSY, std::memory_order_relaxed);
}

std::optional<ConnectionSlot> ConnectionRegistry::open() {
    std::shared_ptr<Connection> evicted;
    auto member = std::make_shared<Member>(next_id_.fetch_add(1, std::memory_order_relaxed));
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return std::nullopt;
        if (live_.size() - evicting_ >= limits_.max_connections) {
            Member* idlest = idle_longest();
            if (idlest == nullptr) return std::nullopt;
            idlest->evicted = true;
            ++evicting_;
            // One that has not attached yet is evicted when it does.
            evicted = idlest->target.lock();
        }
        live_.insert(member);
    }
    if (evicted) evicted->evict();
    return ConnectionSlot(shared_from_this(), std::move(member));
}

ConnectionRegistry::Member* ConnectionRegistry::idle_longest() const {
    Member* idlest = nullptr;
    Member::Clock::rep since = Member::BUSY;
    for (const std::shared_ptr<Member>& member : live_) {
        Member::Clock::rep idle_since = member->idle_since.load(std::memory_order_relaxed);
        if (!member->evicted && idle_since < since) {
            idlest = member.get();
            since = idle_since;
        }
    }
    return idlest;
}

bool ConnectionRegistry::attach(const std::shared_ptr<Member>& member,
                                std::weak_ptr<Connection> target) {
    std::shared_ptr<Connection> evicted;
    bool stopping = false;
    {
        std::lock_guard lock(mutex_);
        member->target = target;
        if (member->evicted) evicted = target.lock();
        stopping = stopping_;
    }
    if (evicted) evicted->evict();
    return stopping;
}

void ConnectionRegistry::leave(const std::shared_ptr<Member>& member) {
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        live_.erase(member);
        if (member->evicted) --evicting_;
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
    std::vector<std::weak_ptr<Connection>> targets;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        on_closed_ = std::move(on_closed);
        if (live_.empty()) {
            boost::asio::post(workers_, [self = shared_from_this()] { self->fire_on_closed(); });
            return;
        }
        for (const std::shared_ptr<Member>& member : live_)
            targets.push_back(member->target);
    }
    // A connection that has not attached yet learns of the stop when it does.
    for (const std::weak_ptr<Connection>& target : targets) {
        if (std::shared_ptr<Connection> live = target.lock()) live->stop();
    }
}

}  // namespace zembra::http
