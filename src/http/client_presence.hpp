// Whether the client of one request still waits for its answer. The connection says when it has
// gone (the request's stream or the connection closed before the answer), so that work nobody
// waits for any more can be dropped instead of done. Any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace zembra::http {

class ClientPresence {
  public:
    using Callback = std::move_only_function<void()>;

    // `connection` is unique among the process's connections (0: none). `watch` runs once, the
    // first time on_gone() is set: for a connection that looks out for the client only when
    // someone wants to know.
    explicit ClientPresence(std::uint64_t connection, Callback watch = {})
        : connection_(connection), watch_(std::move(watch)) {}
    ClientPresence(const ClientPresence&) = delete;
    ClientPresence& operator=(const ClientPresence&) = delete;

    std::uint64_t connection() const { return connection_; }
    bool gone() const { return gone_.load(std::memory_order_acquire); }

    // `on_gone` runs once the client has gone: at once, on this thread, if it already has; else
    // on the thread that learns of it (the connection's, which it must not block). Replaces an
    // earlier one.
    void on_gone(Callback on_gone);
    // The connection's part: the client has gone. Repeatable.
    void leave();

  private:
    const std::uint64_t connection_;
    std::atomic<bool> gone_ = false;
    std::mutex mutex_;
    Callback on_gone_;
    Callback watch_;
};

}  // namespace zembra::http
