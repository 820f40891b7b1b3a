#include "http/server.hpp"

#include <unistd.h>

#include <boost/asio/strand.hpp>

#include "http/connection_registry.hpp"
#include "http/protocol_detector.hpp"

namespace zembra::http {

struct Server::State {
    std::shared_ptr<ConnectionRegistry> registry;
};

Server::Server(boost::asio::io_context& workers, Handler handler, ServerLimits limits)
    : state_(std::make_shared<State>(
          State{std::make_shared<ConnectionRegistry>(workers, std::move(handler), limits)})) {}

// Connections may outlive the server until the worker loop is torn down; the caller's
// `on_closed` must not run after the caller has let go of the server.
Server::~Server() {
    state_->registry->disarm();
}

void Server::serve(int fd) {
    std::optional<ConnectionSlot> slot = state_->registry->open();
    if (!slot) {
        ::close(fd);
        return;
    }
    Socket socket(boost::asio::make_strand(state_->registry->workers()));
    boost::system::error_code ec;
    socket.assign(boost::asio::local::stream_protocol(), fd, ec);
    if (ec) {
        ::close(fd);  // assign failed: the descriptor is still ours
        return;
    }
    // Synchronous writes must return at once instead of waiting (see write_now).
    socket.non_blocking(true, ec);
    if (ec) return;  // the socket closes the descriptor
    std::make_shared<ProtocolDetector>(std::move(socket), std::move(*slot), state_->registry)
        ->start();
}

void Server::graceful_stop(std::function<void()> on_closed) {
    state_->registry->stop(std::move(on_closed));
}

}  // namespace zembra::http
