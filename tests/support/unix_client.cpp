#include "support/unix_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/effective_ids.hpp"
#include "support/unix_socket.hpp"

namespace zembra::test {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

UnixClient::UnixClient(const std::string& path, uid_t uid, gid_t gid)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) fail("socket");
    const EffectiveIds owner(uid, gid);
    if (connect_unix(fd_, path) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(fd_);
        throw std::runtime_error("cannot connect to " + path + " as uid " + std::to_string(uid) +
                                 ": " + reason);
    }
}

UnixClient::~UnixClient() {
    ::close(fd_);
}

void UnixClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("send");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

UnixClient::Received UnixClient::receive_until_closed(std::chrono::milliseconds quiet) {
    Received received{{}, false};
    for (;;) {
        pollfd ready{fd_, POLLIN, 0};
        const int n = ::poll(&ready, 1, static_cast<int>(quiet.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("poll");
        if (n == 0) return received;
        char buffer[4096];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            received.closed = true;
            return received;
        }
        received.bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace zembra::test
