// What every connection holds of itself: its membership in the registry, the registry (the
// handler and the limits), the socket and the head deadline, and the one way to close them.
#pragma once

#include <memory>

#include "http/connection_registry.hpp"
#include "http/request_deadline.hpp"
#include "http/transport.hpp"

namespace zembra::http {

struct ConnectionOwner {
    ConnectionOwner(Socket socket, ConnectionSlot slot,
                    std::shared_ptr<ConnectionRegistry> registry)
        : slot(std::move(slot)),
          registry(std::move(registry)),
          socket(std::move(socket)),
          deadline(this->socket.get_executor(), this->registry->limits().request_timeout) {}

    // Stops the deadline and closes the socket in both directions at once. Repeatable.
    void close() {
        deadline.stop();
        boost::system::error_code ignored;
        socket.shutdown(Socket::shutdown_both, ignored);
        socket.close(ignored);
    }

    // Declared first, so the connection leaves the registry only after its socket is closed.
    ConnectionSlot slot;
    std::shared_ptr<ConnectionRegistry> registry;
    Socket socket;
    RequestDeadline deadline;
};

}  // namespace zembra::http
