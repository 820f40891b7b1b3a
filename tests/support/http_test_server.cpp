#include "support/http_test_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <boost/asio/local/stream_protocol.hpp>

#include "support/unix_socket.hpp"

namespace zembra::test {

HttpTestServer::HttpTestServer(http::Handler handler, std::string path)
    : path_(std::move(path)), work_(workers_.get_executor()) {
    server_.emplace(workers_, std::move(handler));
    // Opens the event loop's reactor descriptors now, so that counts taken by a test see only
    // the connections.
    boost::asio::local::stream_protocol::socket probe(workers_);
    ::unlink(path_.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0 || bind_unix(listener_, path_) || ::listen(listener_, SOMAXCONN) ||
        ::pipe2(wake_, O_CLOEXEC)) {
        throw std::runtime_error("test listener: " + std::string(std::strerror(errno)));
    }
    for (int i = 0; i < 2; ++i)
        threads_.emplace_back([this] { workers_.run(); });
    acceptor_ = std::thread([this] { accept_loop(); });
}

HttpTestServer::~HttpTestServer() {
    (void)::write(wake_[1], "x", 1);
    acceptor_.join();
    work_.reset();
    workers_.stop();
    for (std::thread& thread : threads_)
        thread.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    server_.reset();
}

void HttpTestServer::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        ++connections_;
        server_->serve(fd);
    }
}

void ParkedReplies::park(http::Reply reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(reply));
    parked_.notify_all();
}

bool ParkedReplies::wait_for(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return parked_.wait_for(lock, timeout, [&] { return replies_.size() >= count; });
}

http::Reply ParkedReplies::take() {
    std::lock_guard lock(mutex_);
    http::Reply reply = std::move(replies_.front());
    replies_.pop_front();
    return reply;
}

void ParkedReplies::drop_all() {
    std::deque<http::Reply> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(replies_);
}

void Flag::set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    changed_.notify_all();
}

bool Flag::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return set_; });
}

bool Flag::is_set() {
    std::lock_guard lock(mutex_);
    return set_;
}

RawConnection::RawConnection(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect_unix(fd_, path) != 0) {
        throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
    }
}

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

void RawConnection::shutdown_send() {
    ::shutdown(fd_, SHUT_WR);
}

bool RawConnection::read_some(std::chrono::steady_clock::time_point deadline) {
    if (closed_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd poll_fd{fd_, POLLIN, 0};
    if (::poll(&poll_fd, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[16 * 1024];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        closed_ = true;
        reset_ = n < 0;
        return false;
    }
    received_.append(buffer, static_cast<std::size_t>(n));
    return true;
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

int open_descriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

}  // namespace zembra::test
