#include "support/core_address.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "support/service.hpp"
#include "support/unix_socket.hpp"

namespace zembra::test {

CoreAddress::CoreAddress(unsigned number)
    : path_("/tmp/MorvikSocket_" + std::to_string(number) + ".sock"),
      fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0 || bind_unix(fd_, path_) != 0 || ::listen(fd_, 8) != 0 ||
        ::chown(path_.c_str(), TEST_OWNER_UID, TEST_OWNER_GID) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("cannot prepare the Core address " + path_ + ": " + reason);
    }
}

CoreAddress::~CoreAddress() {
    ::close(fd_);
    ::unlink(path_.c_str());
    ::unlink((path_ + ".mode").c_str());
}

void CoreAddress::set_core_commands(const std::string& commands) const {
    std::ofstream control(path_ + ".mode", std::ios::trunc);
    control << commands;
    if (!control.flush()) throw std::runtime_error("cannot write the control file of " + path_);
}

}  // namespace zembra::test
