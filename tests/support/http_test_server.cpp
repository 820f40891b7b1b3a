#include "support/http_test_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include <boost/asio/local/stream_protocol.hpp>

#include "support/unix_socket.hpp"

namespace zembra::test {

HttpTestServer::HttpTestServer(http::Handler handler, http::ServerLimits limits, std::string path)
    : path_(std::move(path)), work_(workers_.get_executor()) {
    server_.emplace(workers_, std::move(handler), limits);
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

}  // namespace zembra::test
