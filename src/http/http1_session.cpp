#include "http/http1_session.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <iterator>
#include <limits>
#include <variant>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/http/read.hpp>

#include "http/http1_response.hpp"
#include "http/reply_channel.hpp"
#include "http/request_target.hpp"

namespace zembra::http {
namespace beast_http = boost::beast::http;
namespace {

// After a response that ends the connection, the client may still be sending (a refused body,
// pipelined requests). Closing with unread input would reset the connection and could cost the
// client the response, so input is drained first, within these bounds.
constexpr std::chrono::milliseconds LINGER_TIME{1000};
constexpr std::size_t LINGER_BYTES = 1 << 20;
constexpr std::size_t DRAIN_CHUNK = 16 * 1024;

// A body left unread by a refusal is read past when it is this small, so the refusal does not
// cost the client its connection; it is never kept.
constexpr std::size_t DISCARDED_BODY_LIMIT = 4096;
// Chunk sizes, extensions and trailers are not body bytes: a body read, framing included, takes
// at most its limit plus this from the connection.
constexpr std::size_t MAX_BODY_FRAMING = 16 * 1024;

// The first read of a request: a typical head at once. An idle connection keeps no larger buffer.
constexpr std::size_t HEAD_READ = 4096;

constexpr std::string_view CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";

template <class Parser>
RequestHead head_of(const Parser& parser) {
    const auto& request = parser.get();
    RequestHead head;
    head.method = request.method_string();
    head.target = origin_form(request.target());
    for (const auto& field : request) {
        head.fields.push_back({std::string(field.name_string()), std::string(field.value())});
    }
    if (!parser.chunked()) {
        if (auto length = parser.content_length()) head.content_length = *length;
    }
    return head;
}

}  // namespace

Http1Session::Http1Session(Socket socket, boost::beast::flat_buffer buffer, ConnectionSlot slot,
                           std::shared_ptr<ConnectionRegistry> registry)
    : connection_(std::move(socket), std::move(slot), std::move(registry)),
      buffer_(std::move(buffer)),
      linger_timer_(connection_.socket.get_executor()) {}

void Http1Session::start(bool stopping, RequestDeadline::Clock::time_point begun) {
    stopping_ = connection_.slot.attach(weak_from_this()) || stopping;
    if ((stopping_ && buffer_.size() == 0) || connection_.slot.evicted()) return close();
    new_head_parser();
    read_header(begun);
}

void Http1Session::stop() {
    boost::asio::post(connection_.socket.get_executor(),
                      [self = shared_from_this()] { self->on_stop(); });
}

void Http1Session::evict() {
    boost::asio::post(connection_.socket.get_executor(),
                      [self = shared_from_this()] { self->close(); });
}

void Http1Session::on_stop() {
    stopping_ = true;
    // Idle: no byte of a next request has arrived (the parser consumes a head line by line).
    if (phase_ == Phase::ReadingHead && buffer_.size() == 0 && !head_parser_->got_some()) close();
}

void Http1Session::new_head_parser() {
    head_parser_.emplace();
    head_parser_->header_limit(MAX_HEAD_BYTES);
    // The application judges the declared length itself, before any body byte is read.
    head_parser_->body_limit(boost::none);
    enter(Phase::ReadingHead);
}

void Http1Session::do_read_header() {
    connection_.slot.served();
    new_head_parser();
    if (buffer_.size() > 0) return read_header(RequestDeadline::Clock::now());
    // What a long exchange grew is given back while the connection waits for its next request.
    if (buffer_.capacity() > HEAD_READ) buffer_.shrink_to_fit();
    connection_.socket.async_read_some(
        buffer_.prepare(HEAD_READ),
        [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
            if (ec) return self->close();
            self->buffer_.commit(n);
            self->read_header(RequestDeadline::Clock::now());
        });
}

void Http1Session::read_header(RequestDeadline::Clock::time_point begun) {
    request_begun_ = begun;
    // A head already here in whole is taken at once, without a trip through the loop.
    boost::system::error_code ec;
    buffer_.consume(head_parser_->put(buffer_.data(), ec));
    if (ec != beast_http::error::need_more) return on_header(ec);
    keep_request_deadline();
    beast_http::async_read_header(
        connection_.socket, buffer_, *head_parser_,
        [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
            self->on_header(ec);
        });
}

void Http1Session::on_header(boost::system::error_code ec) {
    enter(Phase::Deciding);
    if (ec || connection_.slot.evicted()) return close();
    const auto& request = head_parser_->get();
    if (static_cast<std::size_t>(std::distance(request.begin(), request.end())) > MAX_HEAD_FIELDS) {
        return close();
    }
    facts_ = {.keep_alive = request.keep_alive(),
              .http_1_0 = request.version() < 11,
              .head_request = request.method() == beast_http::verb::head,
              .body_unread = !head_parser_->is_done()};
    // A body still to come is part of the request: the deadline runs on through it.
    if (facts_.body_unread) {
        keep_request_deadline();
    } else {
        connection_.deadline.stop();
    }
    decide(head_of(*head_parser_));
}

void Http1Session::keep_request_deadline() {
    connection_.deadline.start(request_begun_, [self = shared_from_this()] { self->close(); });
}

void Http1Session::decide(const RequestHead& head) {
    Decision decision = connection_.registry->handler()(head);
    if (auto* respond = std::get_if<decision::Respond>(&decision)) {
        return write_response(respond->response);
    }
    if (auto* defer = std::get_if<decision::Defer>(&decision)) {
        return defer->start(await_reply());
    }
    auto& read_body = std::get<decision::ReadBody>(decision);
    // Beast checks a declared length against the limit only while parsing the head, which ran
    // without one; a body over the limit is never read.
    if (head.content_length && *head.content_length > read_body.limit) return close();
    then_ = std::move(read_body.then);
    const std::string* expect = head.field("expect");
    if (facts_.body_unread && !facts_.http_1_0 && expect &&
        field_name_equals(*expect, "100-continue")) {
        return do_continue(read_body.limit);
    }
    do_read_body(read_body.limit);
}

void Http1Session::do_continue(std::size_t limit) {
    enter(Phase::ReadingBody);
    boost::asio::async_write(
        connection_.socket, boost::asio::buffer(CONTINUE),
        [self = shared_from_this(), limit](boost::system::error_code ec, std::size_t) {
            if (ec) return self->close();
            self->do_read_body(limit);
        });
}

void Http1Session::do_read_body(std::size_t limit) {
    read_body(limit, &Http1Session::on_body);
}

void Http1Session::read_body(std::size_t limit, BodyDone done) {
    enter(Phase::ReadingBody);
    body_parser_.emplace(std::move(*head_parser_));
    head_parser_.reset();
    body_parser_->body_limit(limit);
    body_budget_ = limit + MAX_BODY_FRAMING;
    body_done_ = done;
    on_body_some({}, 0);  // an empty body is already complete
}

void Http1Session::do_read_body_some() {
    // A piece the parser cannot take yet (a trailer section still arriving) is held within the
    // budget too.
    buffer_.max_size(std::max(buffer_.size(), body_budget_));
    beast_http::async_read_some(
        connection_.socket, buffer_, *body_parser_,
        [self = shared_from_this()](boost::system::error_code ec, std::size_t consumed) {
            self->on_body_some(ec, consumed);
        });
}

void Http1Session::on_body_some(boost::system::error_code ec, std::size_t consumed) {
    if (!ec && consumed > body_budget_) ec = beast_http::error::body_limit;
    body_budget_ -= std::min(consumed, body_budget_);
    if (!ec && !body_parser_->is_done()) return do_read_body_some();
    buffer_.max_size(std::numeric_limits<std::size_t>::max());
    ((*this).*body_done_)(ec);
}

void Http1Session::on_body(boost::system::error_code ec) {
    // A body over the limit, a broken chunk or a vanished client: the request cannot be
    // answered and the connection's framing is lost.
    if (ec) return close();
    facts_.body_unread = false;
    std::string body = std::move(body_parser_->get().body());
    body_parser_.reset();
    auto then = std::move(then_);
    then(std::move(body), await_reply());
}

Reply Http1Session::await_reply() {
    enter(Phase::AwaitingReply);
    // The handler's time is not the client's.
    connection_.deadline.stop();
    // Only a handler at work keeps the connection from being evicted at the cap.
    connection_.slot.busy();
    const std::uint64_t key = ++request_key_;
    // Nothing is read while the handler works, so the client's leaving is looked out for only
    // when someone wants to know.
    awaited_client_ = std::make_shared<ClientPresence>(
        connection_.slot.id(),
        [weak = weak_from_this(), executor = connection_.socket.get_executor(), key] {
            boost::asio::post(executor, [weak, key] {
                if (auto self = weak.lock()) self->watch_client(key);
            });
        });
    // The reply owns the connection: while its one request waits, nothing else reads from it.
    return Reply(ReplyChannel<Http1Session, std::shared_ptr<Http1Session>, Strand>(
                     shared_from_this(), key, connection_.socket.get_executor()),
                 awaited_client_);
}

void Http1Session::watch_client(std::uint64_t key) {
    if (phase_ != Phase::AwaitingReply || key != request_key_ || watching_client_) return;
    watching_client_ = true;
    // A peer that has closed its socket (not merely shut down its sending side, after which it
    // may still read the answer) wakes this as a hang-up.
    connection_.socket.async_wait(
        Socket::wait_error, [self = shared_from_this(), key](boost::system::error_code ec) {
            if (ec == boost::asio::error::operation_aborted) return;
            if (self->phase_ != Phase::AwaitingReply || key != self->request_key_) return;
            self->close();
        });
}

void Http1Session::on_reply(std::uint64_t key, Response response) {
    // One request at a time, each answered once: a reply for another key, or a second reply,
    // is a fault of the channel.
    assert(key == request_key_ && (phase_ == Phase::AwaitingReply || phase_ == Phase::Closed));
    if (phase_ != Phase::AwaitingReply || key != request_key_) return;
    stop_watching_client();
    connection_.slot.idle();
    write_response(response);
}

void Http1Session::stop_watching_client() {
    awaited_client_ = nullptr;
    if (!std::exchange(watching_client_, false)) return;
    boost::system::error_code ignored;
    connection_.socket.cancel(ignored);
}

void Http1Session::on_unanswered(std::uint64_t key) {
    if (phase_ == Phase::AwaitingReply && key == request_key_) close();
}

// A client that asked to continue and got a final answer may never send the body, so only a
// body that is surely coming, and small, is read past.
bool Http1Session::can_discard_body() const {
    if (!head_parser_) return false;
    const auto& request = head_parser_->get();
    if (request.find(beast_http::field::expect) != request.end()) return false;
    if (head_parser_->chunked()) return true;
    const auto length = head_parser_->content_length();
    return length && *length <= DISCARDED_BODY_LIMIT;
}

void Http1Session::write_response(const Response& response) {
    enter(Phase::Writing);
    // Before the peer can see the answer, so the peer may rely on being the most recently served.
    connection_.slot.served();
    facts_.closes_connection = response.closes_connection() || !facts_.keep_alive || stopping_ ||
                               (facts_.body_unread && !can_discard_body());
    Persistence persistence = facts_.closes_connection ? Persistence::Close
                              : facts_.http_1_0        ? Persistence::KeepAliveHttp10
                                                       : Persistence::KeepAlive;
    out_.clear();
    append_http1_head(response, persistence, out_);
    // The answer to a HEAD request declares the body's length but carries no body.
    out_body_ = facts_.head_request ? Body() : response.body;
    const std::array<boost::asio::const_buffer, 2> wire = {boost::asio::buffer(out_),
                                                           boost::asio::buffer(out_body_.view())};
    std::size_t written = write_now(connection_.socket, wire);
    if (written == out_.size() + out_body_.size()) return on_write({});
    boost::beast::buffers_suffix rest(wire);
    rest.consume(written);
    boost::asio::async_write(connection_.socket, rest,
                             [self = shared_from_this()](boost::system::error_code ec,
                                                         std::size_t) { self->on_write(ec); });
}

void Http1Session::on_write(boost::system::error_code ec) {
    out_body_ = {};
    if (ec) return close();
    if (facts_.closes_connection || stopping_) return linger();
    if (facts_.body_unread) return do_discard_body();
    do_read_header();
}

void Http1Session::do_discard_body() {
    keep_request_deadline();
    read_body(DISCARDED_BODY_LIMIT, &Http1Session::on_discarded);
}

void Http1Session::on_discarded(boost::system::error_code ec) {
    connection_.deadline.stop();
    body_parser_.reset();
    // Past the limit or a broken chunk: the framing is lost, the answer already went out.
    if (ec) return linger();
    facts_.body_unread = false;
    if (stopping_) return linger();
    do_read_header();
}

void Http1Session::linger() {
    enter(Phase::Lingering);
    boost::system::error_code ignored;
    connection_.socket.shutdown(Socket::shutdown_send, ignored);
    buffer_.clear();
    linger_timer_.expires_after(LINGER_TIME);
    linger_timer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
        if (!ec) self->close();
    });
    do_drain();
}

void Http1Session::do_drain() {
    connection_.socket.async_read_some(
        buffer_.prepare(DRAIN_CHUNK),
        [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
            self->drained_ += n;
            if (ec || self->drained_ >= LINGER_BYTES) return self->close();
            self->do_drain();
        });
}

void Http1Session::enter(Phase next) {
    // A completion queued before the close may still run: it must not revive the connection.
    if (phase_ != Phase::Closed) phase_ = next;
}

void Http1Session::close() {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Closed;
    linger_timer_.cancel();
    connection_.close();
    // Closed before the answer: whatever works on the request learns that nobody waits for it.
    if (awaited_client_) std::exchange(awaited_client_, nullptr)->leave();
}

}  // namespace zembra::http
