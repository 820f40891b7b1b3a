#include "http/protocol_detector.hpp"

#include <algorithm>

#include <boost/asio/post.hpp>

#include "http/http1_session.hpp"
#include "http/http2_session.hpp"

namespace zembra::http {
namespace {

constexpr std::string_view HTTP2_PREFACE = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
// Large enough for a typical HTTP/1 request head in one read.
constexpr std::size_t FIRST_READ = 4096;

}  // namespace

Protocol detect_protocol(std::string_view first_bytes) {
    std::size_t n = std::min(first_bytes.size(), HTTP2_PREFACE.size());
    if (first_bytes.substr(0, n) != HTTP2_PREFACE.substr(0, n)) return Protocol::Http1;
    return n == HTTP2_PREFACE.size() ? Protocol::Http2 : Protocol::Undecided;
}

ProtocolDetector::ProtocolDetector(Socket socket, ConnectionSlot slot,
                                   std::shared_ptr<ConnectionRegistry> registry)
    : slot_(std::move(slot)),
      registry_(std::move(registry)),
      socket_(std::move(socket)),
      deadline_(socket_.get_executor(), registry_->limits().request_timeout) {}

void ProtocolDetector::start() {
    boost::asio::post(socket_.get_executor(), [self = shared_from_this()] {
        if (self->slot_.attach(self->weak_from_this())) return;  // stopping: close unread
        self->do_read();
    });
}

void ProtocolDetector::stop() {
    boost::asio::post(socket_.get_executor(), [self = shared_from_this()] {
        self->stopping_ = true;
        if (self->buffer_.size() == 0) self->close();
    });
}

void ProtocolDetector::evict() {
    boost::asio::post(socket_.get_executor(), [self = shared_from_this()] { self->close(); });
}

void ProtocolDetector::do_read() {
    socket_.async_read_some(buffer_.prepare(FIRST_READ),
                            [self = shared_from_this()](boost::system::error_code ec,
                                                        std::size_t n) { self->on_read(ec, n); });
}

void ProtocolDetector::on_read(boost::system::error_code ec, std::size_t n) {
    // Requests of a client that has already gone are not worth reading.
    if (ec || slot_.evicted() || peer_has_left(socket_)) return close();
    if (buffer_.size() == 0) begun_ = RequestDeadline::Clock::now();
    buffer_.commit(n);
    const auto* data = static_cast<const char*>(buffer_.data().data());
    Protocol protocol = detect_protocol({data, buffer_.size()});
    if (protocol == Protocol::Undecided) {
        deadline_.start(begun_, [self = shared_from_this()] { self->close(); });
        return do_read();
    }
    deadline_.stop();
    hand_over(protocol);
}

void ProtocolDetector::hand_over(Protocol protocol) {
    if (protocol == Protocol::Http1) return hand_over_to<Http1Session>();
    hand_over_to<Http2Session>();
}

void ProtocolDetector::close() {
    deadline_.stop();
    boost::system::error_code ignored;
    socket_.close(ignored);
}

template <class Session>
void ProtocolDetector::hand_over_to() {
    std::make_shared<Session>(std::move(socket_), std::move(buffer_), std::move(slot_),
                              std::move(registry_))
        ->start(stopping_, begun_);
}

}  // namespace zembra::http
