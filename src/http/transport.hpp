// The socket type every connection runs on: a Unix stream socket whose completions all run on
// the connection's own strand, so a connection's state needs no lock.
#pragma once

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/strand.hpp>

namespace zembra::http {

using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
using Socket = boost::asio::basic_stream_socket<boost::asio::local::stream_protocol, Strand>;

}  // namespace zembra::http
