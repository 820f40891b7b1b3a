#include "http/transport.hpp"

#include <boost/asio/buffer.hpp>

namespace zembra::http {

std::size_t write_now(Socket& socket, std::string_view bytes) {
    boost::system::error_code ec;
    std::size_t written = socket.write_some(boost::asio::buffer(bytes), ec);
    return ec ? 0 : written;
}

}  // namespace zembra::http
