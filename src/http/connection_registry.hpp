// The server's set of live connections: what a graceful stop reaches, what tells the server
// that its last connection has closed, and the cap on their number. Locked once per connection
// open/close and once per stop, never per request (a connection's idle mark is an atomic). It
// also carries what every connection needs: the worker loop, the handler, the limits and the
// count of request bytes all of them hold.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>

#include <boost/asio/io_context.hpp>

#include "http/limits.hpp"
#include "http/message.hpp"

namespace zembra::http {

// A live connection as the registry reaches it. Both calls may come from any thread.
class Connection {
  public:
    virtual ~Connection() = default;
    // Graceful stop: finish what is in progress, then close.
    virtual void stop() = 0;
    // Close now, to make room for a new connection.
    virtual void evict() = 0;
};

class ConnectionRegistry;

// Membership of one connection in the registry, moved from the protocol detector to the
// session it hands over to. Leaving (destruction) may fire the server's `on_closed`.
class ConnectionSlot {
  public:
    struct Member;

    ConnectionSlot(std::shared_ptr<ConnectionRegistry> registry, std::shared_ptr<Member> member)
        : registry_(std::move(registry)), member_(std::move(member)) {}
    ConnectionSlot(ConnectionSlot&& other) noexcept = default;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot();

    // Unique among the connections of the process's life.
    std::uint64_t id() const;
    // Closed at the cap to make room: what has arrived but not been read is not worth reading.
    bool evicted() const;

    // Points graceful stops and evictions at `target`. Returns true when the server is already
    // stopping, in which case `target` must stop by itself.
    [[nodiscard]] bool attach(std::weak_ptr<Connection> target);

    // No handler is at work for the connection: it waits for its peer (to send a request or the
    // rest of one, or to read an answer) and may be evicted, the one that has waited longest
    // first. A new connection starts idle. Calling it again keeps the wait's start.
    void idle();
    // A handler is at work on one of its requests.
    void busy();
    // The peer has just been served (an answer went out, a stream ended): if idle, its wait for
    // the peer starts over now.
    void served();

  private:
    std::shared_ptr<ConnectionRegistry> registry_;
    std::shared_ptr<Member> member_;
    bool idle_ = true;
};

class ConnectionRegistry : public std::enable_shared_from_this<ConnectionRegistry> {
  public:
    ConnectionRegistry(boost::asio::io_context& workers, Handler handler, ServerLimits limits)
        : workers_(workers), handler_(std::move(handler)), limits_(limits) {}

    boost::asio::io_context& workers() { return workers_; }
    const Handler& handler() const { return handler_; }
    const ServerLimits& limits() const { return limits_; }

    // Bytes of requests still arriving that all connections hold together; each connection adds
    // what it takes and subtracts what it lets go.
    std::size_t held_request_bytes() const {
        return held_request_bytes_.load(std::memory_order_relaxed);
    }
    void hold_request_bytes(std::size_t bytes) {
        held_request_bytes_.fetch_add(bytes, std::memory_order_relaxed);
    }
    void release_request_bytes(std::size_t bytes) {
        held_request_bytes_.fetch_sub(bytes, std::memory_order_relaxed);
    }

    // A slot for a new connection, evicting the connection idle longest when at the cap; none
    // once the server is stopping, or when every connection has a handler at work.
    std::optional<ConnectionSlot> open();
    // Stops every live connection; `on_closed` runs once the last one has gone.
    void stop(std::function<void()> on_closed);
    // Drops a pending `on_closed`: its owner is going away.
    void disarm();

  private:
    friend class ConnectionSlot;
    using Member = ConnectionSlot::Member;

    bool attach(const std::shared_ptr<Member>& member, std::weak_ptr<Connection> target);
    void leave(const std::shared_ptr<Member>& member);
    // The connection idle longest, not already evicted; null if every one is busy.
    Member* idle_longest() const;
    void fire_on_closed();

    boost::asio::io_context& workers_;
    const Handler handler_;
    const ServerLimits limits_;
    std::atomic<std::size_t> held_request_bytes_ = 0;
    std::atomic<std::uint64_t> next_id_ = 1;

    std::mutex mutex_;
    bool stopping_ = false;
    std::unordered_set<std::shared_ptr<Member>> live_;
    std::size_t evicting_ = 0;  // evicted members not yet gone
    std::function<void()> on_closed_;
};

struct ConnectionSlot::Member {
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::rep BUSY = Clock::duration::max().count();

    explicit Member(std::uint64_t id) : id(id) {}

    const std::uint64_t id;
    std::atomic<Clock::rep> idle_since{Clock::now().time_since_epoch().count()};
    // Written under the registry's mutex; read without it by the connection.
    std::atomic<bool> evicted = false;
    // Guarded by the registry's mutex.
    std::weak_ptr<Connection> target;
};

}  // namespace zembra::http
