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

RawConnection::RawConnection(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect_unix(fd_, path) != 0) {
        const std::string reason = std::strerror(errno);
        close();
        throw std::runtime_error("connect " + path + ": " + reason);
    }
}

RawConnection::RawConnection(const std::string& path, const EffectiveIds&) : RawConnection(path) {}

RawConnection::~RawConnection() {
    close();
}

void RawConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("send: " + std::string(std::strerror(errno)));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::size_t RawConnection::send_for(std::string_view bytes, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd poll_fd{fd_, POLLOUT, 0};
        const int ready = ::poll(&poll_fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n =
            ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) break;
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

void RawConnection::shutdown_send() {
    ::shutdown(fd_, SHUT_WR);
}

bool RawConnection::read_some(std::chrono::steady_clock::time_point deadline) {
    while (!closed_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd poll_fd{fd_, POLLIN, 0};
        const int ready = ::poll(&poll_fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[16 * 1024];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed_ = true;
            reset_ = n < 0;
            return false;
        }
        received_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    return false;
}

const std::string& RawConnection::read_until(std::string_view text,
                                             std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received_.find(text) == std::string::npos && read_some(deadline)) {
    }
    return received_;
}

bool RawConnection::read_to_eof(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (read_some(deadline)) {
    }
    return closed_;
}

void RawConnection::discard_for(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd poll_fd{fd_, POLLIN, 0};
        if (::poll(&poll_fd, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[64 * 1024];
        if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return;
    }
}

// The ids are in effect until the end of the full expression, past the connect.
UnixClient::UnixClient(const std::string& path, uid_t uid, gid_t gid)
    : RawConnection(path, EffectiveIds(uid, gid)) {}

UnixClient::Received UnixClient::receive_until_closed(std::chrono::milliseconds quiet) {
    const std::size_t before = received().size();
    while (read_some(std::chrono::steady_clock::now() + quiet)) {
    }
    return {received().substr(before), closed()};
}

}  // namespace zembra::test
