// The server's set of live connections: what a graceful stop reaches and what tells the server
// that its last connection has closed. Touched once per connection open/close and once per stop,
// never per request. It also carries what every connection needs: the worker loop and the handler.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include <boost/asio/io_context.hpp>

#include "http/message.hpp"

namespace zembra::http {

// A connection that a graceful stop can reach. `stop` may be called from any thread.
class Stoppable {
  public:
    virtual ~Stoppable() = default;
    virtual void stop() = 0;
};

class ConnectionRegistry;

// Membership of one connection in the registry, moved from the protocol detector to the
// session it hands over to. Leaving (destruction) may fire the server's `on_closed`.
class ConnectionSlot {
  public:
    ConnectionSlot(std::shared_ptr<ConnectionRegistry> registry, std::size_t id)
        : registry_(std::move(registry)), id_(id) {}
    ConnectionSlot(ConnectionSlot&& other) noexcept = default;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot();

    // Points graceful stops at `target`. Returns true when the server is already stopping, in
    // which case `target` must stop by itself.
    [[nodiscard]] bool attach(std::weak_ptr<Stoppable> target);

  private:
    std::shared_ptr<ConnectionRegistry> registry_;
    std::size_t id_;
};

class ConnectionRegistry : public std::enable_shared_from_this<ConnectionRegistry> {
  public:
    ConnectionRegistry(boost::asio::io_context& workers, Handler handler)
        : workers_(workers), handler_(std::move(handler)) {}

    boost::asio::io_context& workers() { return workers_; }
    const Handler& handler() const { return handler_; }

    // A slot for a new connection; none once the server is stopping.
    std::optional<ConnectionSlot> open();
    // Stops every live connection; `on_closed` runs once the last one has gone.
    void stop(std::function<void()> on_closed);
    // Drops a pending `on_closed`: its owner is going away.
    void disarm();

  private:
    friend class ConnectionSlot;
    bool attach(std::size_t id, std::weak_ptr<Stoppable> target);
    void leave(std::size_t id);
    void fire_on_closed();

    boost::asio::io_context& workers_;
    const Handler handler_;

    std::mutex mutex_;
    bool stopping_ = false;
    std::size_t next_id_ = 0;
    std::unordered_map<std::size_t, std::weak_ptr<Stoppable>> live_;
    std::function<void()> on_closed_;
};

}  // namespace zembra::http
