// The HTTP server: serves HTTP/1.1 and HTTP/2 (prior knowledge) on stream sockets that the
// caller has already accepted and admitted. It knows nothing of the API: every request goes
// to the Handler.
#pragma once

#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "http/limits.hpp"
#include "http/message.hpp"

namespace zembra::http {

class Server {
  public:
    // Connections run on `workers` (each on its own strand); `handler` decides every request.
    Server(boost::asio::io_context& workers, Handler handler, ServerLimits limits = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Takes ownership of a connected, non-blocking, close-on-exec Unix stream socket and
    // serves it. Callable from any thread. After graceful_stop(), or at the connection cap with
    // every connection's handler at work, the socket is closed at once.
    void serve(int fd);

    // Graceful stop: idle HTTP/1 connections close at once, an HTTP/1 request in flight is
    // finished and its connection closed, HTTP/2 connections send GOAWAY and close when their
    // accepted streams are done. `on_closed` runs once, on a worker thread, when the last
    // connection has closed (at once if there is none). Callable from any thread, once.
    void graceful_stop(std::function<void()> on_closed);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace zembra::http
