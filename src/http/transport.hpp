// The socket type every connection runs on: a Unix stream socket whose completions all run on
// the connection's own strand, so a connection's state needs no lock.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/strand.hpp>

namespace zembra::http {

using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
using Socket = boost::asio::basic_stream_socket<boost::asio::local::stream_protocol, Strand>;

// Writes what the socket takes without waiting (the socket is in non-blocking mode), so that a
// response that fits the socket buffer costs no trip through the event loop. Returns the number
// of bytes written; the caller writes the rest asynchronously, which also reports any error.
std::size_t write_now(Socket& socket, std::span<const boost::asio::const_buffer> buffers);
std::size_t write_now(Socket& socket, std::string_view bytes);

// Never blocks. The peer has closed its socket (not merely shut down its sending side): whatever it
// sent and is still unread, nobody will take the answers. Unix sockets tell this apart at once.
bool peer_has_left(Socket& socket);

}  // namespace zembra::http
