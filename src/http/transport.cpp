#include "http/transport.hpp"

#include <poll.h>

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

bool peer_has_left(Socket& socket) {
    pollfd state = {.fd = socket.native_handle(), .events = 0, .revents = 0};
    return ::poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

}  // namespace zembra::http
