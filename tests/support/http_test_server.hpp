// An http::Server under test: worker threads, a listening Unix socket and an accept thread that
// hands each connection to serve(), as the service's admission does.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "http/server.hpp"
#include "support/unix_client.hpp"

namespace zembra::test {

class HttpTestServer {
  public:
    explicit HttpTestServer(http::Handler handler, http::ServerLimits limits = {},
                            std::string path = "/tmp/http-test.sock");
    ~HttpTestServer();

    const std::string& path() const { return path_; }
    http::Server& server() { return *server_; }
    // Connections handed to the server so far.
    int connections() const { return connections_.load(); }

  private:
    void accept_loop();

    std::string path_;
    boost::asio::io_context workers_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::optional<http::Server> server_;
    std::vector<std::thread> threads_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
};

// Replies parked by a test handler, to be answered (or dropped) by the test, from its own thread.
class ParkedReplies {
  public:
    void park(http::Reply reply);
    // Waits until `count` replies are parked; false after `timeout`.
    bool wait_for(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Takes the oldest parked reply (wait_for it first).
    http::Reply take();
    // Drops every parked reply unanswered; call before the server goes away.
    void drop_all();

  private:
    std::mutex mutex_;
    std::condition_variable parked_;
    std::deque<http::Reply> replies_;
};

// A one-shot flag set from the server's on_closed.
class Flag {
  public:
    void set();
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool is_set();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

}  // namespace zembra::test
