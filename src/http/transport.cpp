#include "http/transport.hpp"

namespace zembra::http {

std::size_t write_now(Socket& socket, std::span<const boost::asio::const_buffer> buffers) {
    boost::system::error_code ec;
    std::size_t written = socket.write_some(buffers, ec);
    return ec ? 0 : written;
}

std::size_t write_now(Socket& socket, std::string_view bytes) {
    const boost::asio::const_buffer buffer = boost::asio::buffer(bytes);
    return write_now(socket, {&buffer, 1});
}

}  // namespace zembra::http
