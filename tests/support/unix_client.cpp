#include "support/unix_client.hpp"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/effective_ids.hpp"
#include "support/unix_socket.hpp"

namespace zembra::test {
namespace {

// A blocking send gives up after this: no test waits that long for a server to read.
constexpr std::chrono::minutes SEND_BOUND{1};

}  // namespace

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
    const auto deadline = std::chrono::steady_clock::now() + SEND_BOUND;
    if (send_until(bytes, deadline) == bytes.size()) return;
    throw std::runtime_error(send_failed_ ? "send: the connection failed"
                                          : "send: the server took nothing for a minute");
}

bool RawConnection::wait_until_taken(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int unread = 0;
        // A Unix socket's send queue holds what its peer has not read yet.
        if (::ioctl(fd_, SIOCOUTQ, &unread) != 0) return false;
        if (unread == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void RawConnection::shutdown_send() {
    ::shutdown(fd_, SHUT_WR);
}

std::size_t RawConnection::send_until(std::string_view bytes,
                                      std::chrono::steady_clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size() && !send_failed_) {
        const ssize_t n =
            ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            send_failed_ = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd poll_fd{fd_, POLLOUT, 0};
        ::poll(&poll_fd, 1, static_cast<int>(left.count()));
    }
    return sent;
}

bool RawConnection::receive_within(std::chrono::milliseconds wait) {
    for (;;) {
        pollfd poll_fd{fd_, POLLIN, 0};
        const int ready = ::poll(&poll_fd, 1, static_cast<int>(wait.count()));
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
}

bool RawConnection::read_some(std::chrono::steady_clock::time_point deadline) {
    if (closed_) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 && receive_within(left);
}

void RawConnection::read_available() {
    while (!closed_ && receive_within(std::chrono::milliseconds(0))) {
    }
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
