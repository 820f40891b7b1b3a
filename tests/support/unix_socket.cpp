#include "support/unix_socket.hpp"

#include <sys/socket.h>

#include <cstring>
#include <stdexcept>

namespace zembra::test {

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

int bind_unix(int fd, const std::string& path) {
    const sockaddr_un address = unix_address(path);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int connect_unix(int fd, const std::string& path) {
    const sockaddr_un address = unix_address(path);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

}  // namespace zembra::test
