// The service's one door: the Unix stream socket at /run/<runtime directory>/helper.sock,
// prepared at start-up (stale entry removed, bound, listening, mode 0660).
#pragma once

#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "error.hpp"

namespace zembra::service {

using Listener = boost::asio::local::stream_protocol::acceptor;

// "/run/zembra/helper.sock" or "/run/zembra-pre/helper.sock", from the helper identity.
std::string socket_path();

// Removes whatever is left at `path`, binds a non-blocking, close-on-exec listening socket to
// it, registers it with `loop` and sets the file's mode to 0660. The file keeps the process's
// own ids as owner and group.
Result<Listener> prepare_socket(boost::asio::io_context& loop, const std::string& path);

}  // namespace zembra::service
