#include "http/http2_session.hpp"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "ascii.hpp"
#include "http/reply_channel.hpp"

namespace zembra::http {

struct Http2Session::Stream {
    enum class Phase {
        ReceivingHead,
        Deciding,      // the head is in; the handler decides what to do with it
        ReadingBody,   // the handler asked for the body; it is being collected
        DroppingBody,  // the body outgrew its limit: the stream was reset
        AwaitingReply,
        Answered,  // a response was submitted, or the stream reset for want of one
    };

    explicit Stream(RequestDeadline::Clock::time_point begun) : begun(begun) {}
    ~Stream() {
        if (client) client->leave();
    }

    // The request has until `begun` + the request timeout to arrive whole.
    RequestDeadline::Clock::time_point begun;
    RequestHead head;             // until it is decided
    std::size_t head_bytes = 0;   // as HTTP/2 counts a header list
    bool head_too_large = false;  // over a head limit: nothing more of it is kept
    bool head_request = false;
    std::optional<std::uint64_t> declared_length;
    Phase phase = Phase::ReceivingHead;
    bool remote_closed = false;
    bool reset = false;  // a RST_STREAM is on its way: the stream waits for nothing more
    std::uint64_t body_received = 0;
    std::size_t body_limit = 0;
    std::string body;
    std::size_t held = 0;  // counted against the request-byte budgets: the body's capacity
    std::move_only_function<void(std::string, Reply)> then;
    // While a handler works on it: told when the stream or the connection ends first.
    std::shared_ptr<ClientPresence> client;
    Body response_body;
    std::size_t response_sent = 0;
};

namespace {

// Gathers several frames into one write; a larger batch only delays the first bytes.
constexpr std::size_t WRITE_BATCH = 64 * 1024;
// What nghttp2 holds for one queued frame (a reset, an acknowledgement, a response head with
// its copied fields), roughly: queued frames count towards the output held for a peer.
constexpr std::size_t QUEUED_FRAME_BYTES = 256;
// Per field of a header list, on top of its name and value.
constexpr std::size_t FIELD_OVERHEAD = 32;

constexpr unsigned HEAD_TOO_LARGE = 431;

// What an idle connection keeps of its output buffer: enough for small answers, none of a batch.
constexpr std::size_t IDLE_OUTPUT_CAPACITY = 4096;

// No C++ exception may unwind through nghttp2's C frames: one that reaches a callback fails the
// session, which closes the connection.
template <class Call>
auto guarded(Call call) noexcept -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        return NGHTTP2_ERR_CALLBACK_FAILURE;
    }
}

Http2Session& session_of(void* user_data) {
    return *static_cast<Http2Session*>(user_data);
}

int begin_headers_callback(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    return guarded([&] { return session_of(user_data).on_begin_headers(*frame); });
}

int header_callback(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                    std::size_t name_length, const std::uint8_t* value, std::size_t value_length,
                    std::uint8_t, void* user_data) {
    return guarded([&] {
        return session_of(user_data).on_header(
            *frame, {reinterpret_cast<const char*>(name), name_length},
            {reinterpret_cast<const char*>(value), value_length});
    });
}

int frame_recv_callback(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    return guarded([&] { return session_of(user_data).on_frame_recv(*frame); });
}

int data_chunk_recv_callback(nghttp2_session*, std::uint8_t, std::int32_t stream_id,
                             const std::uint8_t* data, std::size_t length, void* user_data) {
    return guarded([&] { return session_of(user_data).on_data_chunk(stream_id, data, length); });
}

int frame_send_callback(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    return guarded([&] { return session_of(user_data).on_frame_send(*frame); });
}

int stream_close_callback(nghttp2_session*, std::int32_t stream_id, std::uint32_t,
                          void* user_data) {
    return guarded([&] { return session_of(user_data).on_stream_close(stream_id); });
}

ssize_t data_source_read_callback(nghttp2_session*, std::int32_t stream_id, std::uint8_t* buf,
                                  std::size_t length, std::uint32_t* data_flags,
                                  nghttp2_data_source*, void* user_data) {
    return guarded([&] {
        return session_of(user_data).read_response_body(stream_id, buf, length, data_flags);
    });
}

// One set of callbacks for every session, built on first use.
const nghttp2_session_callbacks* callbacks() {
    static const std::unique_ptr<nghttp2_session_callbacks, void (*)(nghttp2_session_callbacks*)>
        instance(
            [] {
                nghttp2_session_callbacks* set = nullptr;
                nghttp2_session_callbacks_new(&set);
                nghttp2_session_callbacks_set_on_begin_headers_callback(set,
                                                                        begin_headers_callback);
                nghttp2_session_callbacks_set_on_header_callback(set, header_callback);
                nghttp2_session_callbacks_set_on_frame_recv_callback(set, frame_recv_callback);
                nghttp2_session_callbacks_set_on_data_chunk_recv_callback(set,
                                                                          data_chunk_recv_callback);
                nghttp2_session_callbacks_set_on_frame_send_callback(set, frame_send_callback);
                nghttp2_session_callbacks_set_on_stream_close_callback(set, stream_close_callback);
                return set;
            }(),
            nghttp2_session_callbacks_del);
    return instance.get();
}

// Without a stream limit of its own, nghttp2 would keep every closed stream of a connection
// (for the priority tree) until the connection ends: memory growing with each request.
const nghttp2_option* options() {
    static const std::unique_ptr<nghttp2_option, void (*)(nghttp2_option*)> instance(
        [] {
            nghttp2_option* option = nullptr;
            nghttp2_option_new(&option);
            nghttp2_option_set_no_closed_streams(option, 1);
            return option;
        }(),
        nghttp2_option_del);
    return instance.get();
}

// Fields that describe an HTTP/1 connection; HTTP/2 forbids them.
bool is_connection_specific(std::string_view lower_name) {
    return lower_name == "connection" || lower_name == "keep-alive" ||
           lower_name == "proxy-connection" || lower_name == "transfer-encoding" ||
           lower_name == "upgrade" || lower_name == "content-length";
}

std::string lower_case(std::string_view text) {
    std::string lower(text);
    std::ranges::transform(lower, lower.begin(), to_ascii_lower);
    return lower;
}

nghttp2_nv name_value(const std::string& name, const std::string& value) {
    return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
            reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
            value.size(), NGHTTP2_NV_FLAG_NONE};
}

std::optional<std::uint64_t> parse_length(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

bool ends_stream(const nghttp2_frame& frame) {
    return (frame.hd.type == NGHTTP2_HEADERS || frame.hd.type == NGHTTP2_DATA) &&
           (frame.hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
}

}  // namespace

Http2Session::Http2Session(Socket socket, boost::beast::flat_buffer preface, ConnectionSlot slot,
                           std::shared_ptr<ConnectionRegistry> registry)
    : connection_(std::move(socket), std::move(slot), std::move(registry)),
      preface_(std::move(preface)) {}

Http2Session::~Http2Session() {
    connection_.registry->release_request_bytes(held_);
}

void Http2Session::start(bool stopping, RequestDeadline::Clock::time_point begun) {
    stopping = connection_.slot.attach(weak_from_this()) || stopping;
    if (connection_.slot.evicted()) return close();
    preface_begun_ = begun;
    nghttp2_session* session = nullptr;
    if (nghttp2_session_server_new2(&session, callbacks(), this, options()) != 0) return close();
    session_.reset(session);
    // nghttp2 refuses streams beyond the limit from now on, before the client acknowledges it;
    // the header list is limited in on_header, the size here only tells the client. Everything
    // else stays at the protocol's and the library's default (a 4 KiB HPACK table).
    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, MAX_CONCURRENT_STREAMS},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, MAX_HEAD_BYTES},
    };
    if (nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, settings, std::size(settings)) != 0) {
        return close();
    }
    const auto* bytes = static_cast<const std::uint8_t*>(preface_.data().data());
    if (!receive(bytes, preface_.size())) return close();
    preface_ = {};
    if (stopping) on_stop();
    advance();
}

void Http2Session::stop() {
    boost::asio::post(connection_.socket.get_executor(),
                      [self = shared_from_this()] { self->on_stop(); });
}

void Http2Session::evict() {
    boost::asio::post(connection_.socket.get_executor(),
                      [self = shared_from_this()] { self->close(); });
}

void Http2Session::on_stop() {
    if (closed_ || goaway_sent_) return;
    goaway_sent_ = true;
    nghttp2_session* session = session_.get();
    // The notice alone does not refuse new streams; the final GOAWAY names the last stream we
    // accepted, and the connection closes once those are answered.
    nghttp2_submit_shutdown_notice(session);
    nghttp2_submit_goaway(session, NGHTTP2_FLAG_NONE,
                          nghttp2_session_get_last_proc_stream_id(session), NGHTTP2_NO_ERROR,
                          nullptr, 0);
    advance();
}

Http2Session::Stream* Http2Session::find(std::int32_t stream_id) {
    auto it = streams_.find(stream_id);
    return it == streams_.end() ? nullptr : it->second.get();
}

int Http2Session::on_begin_headers(const nghttp2_frame& frame) {
    if (frame.hd.type != NGHTTP2_HEADERS) return 0;
    head_stream_ = frame.hd.stream_id;
    head_begun_ = RequestDeadline::Clock::now();
    if (frame.headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    if (!may_open_stream()) {
        // nghttp2 still decodes the header block (the compression state is the connection's)
        // but hands none of it over.
        nghttp2_submit_rst_stream(session_.get(), NGHTTP2_FLAG_NONE, frame.hd.stream_id,
                                  NGHTTP2_REFUSED_STREAM);
        return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    streams_.emplace(frame.hd.stream_id, std::make_unique<Stream>(head_begun_));
    return 0;
}

bool Http2Session::may_open_stream() const {
    const ServerLimits& limits = connection_.registry->limits();
    if (held_ >= limits.max_held_request_bytes_per_connection) return false;
    return held_ == 0 || connection_.registry->held_request_bytes() < limits.max_held_request_bytes;
}

void Http2Session::hold(Stream& stream, std::size_t bytes) {
    if (bytes >= stream.held) {
        connection_.registry->hold_request_bytes(bytes - stream.held);
    } else {
        connection_.registry->release_request_bytes(stream.held - bytes);
    }
    held_ = held_ - stream.held + bytes;
    stream.held = bytes;
}

void Http2Session::reset(std::int32_t stream_id, Stream& stream, std::uint32_t error_code) {
    stream.reset = true;
    nghttp2_submit_rst_stream(session_.get(), NGHTTP2_FLAG_NONE, stream_id, error_code);
}

int Http2Session::on_header(const nghttp2_frame& frame, std::string_view name,
                            std::string_view value) {
    if (frame.hd.type != NGHTTP2_HEADERS || frame.headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    Stream* stream = find(frame.hd.stream_id);
    if (stream == nullptr || stream->head_too_large) return 0;
    RequestHead& head = stream->head;
    // Counted as decoded: a few bytes of HPACK can stand for a large header list.
    stream->head_bytes += name.size() + value.size() + FIELD_OVERHEAD;
    if (stream->head_bytes > MAX_HEAD_BYTES || head.fields.size() >= MAX_HEAD_FIELDS) {
        stream->head_too_large = true;
        head = {};
        return 0;
    }
    if (name == ":method") {
        head.method = value;
    } else if (name == ":path") {
        head.target = value;
    } else if (!name.starts_with(':')) {
        if (name == "content-length") head.content_length = parse_length(value);
        head.fields.push_back({std::string(name), std::string(value)});
    }
    return 0;
}

int Http2Session::on_frame_recv(const nghttp2_frame& frame) {
    if (frame.hd.type == NGHTTP2_SETTINGS && (frame.hd.flags & NGHTTP2_FLAG_ACK) == 0) {
        settings_received_ = true;
    }
    if (frame.hd.type == NGHTTP2_HEADERS && frame.hd.stream_id == head_stream_) head_stream_ = 0;
    if (frame.hd.type != NGHTTP2_HEADERS && frame.hd.type != NGHTTP2_DATA) return 0;
    Stream* stream = find(frame.hd.stream_id);
    if (stream == nullptr) return 0;
    if (frame.hd.type == NGHTTP2_HEADERS && stream->phase == Stream::Phase::ReceivingHead)
        decide(frame.hd.stream_id, *stream);
    if ((frame.hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
        stream->remote_closed = true;
        if (stream->phase == Stream::Phase::ReadingBody)
            end_of_request_body(frame.hd.stream_id, *stream);
    }
    return 0;
}

void Http2Session::decide(std::int32_t stream_id, Stream& stream) {
    stream.phase = Stream::Phase::Deciding;
    if (stream.head_too_large) return submit_response(stream_id, stream, {HEAD_TOO_LARGE, {}, {}});
    // Let go once decided: while a request arrives, what its stream holds is its body.
    const RequestHead head = std::exchange(stream.head, {});
    stream.head_request = head.method == "HEAD";
    stream.declared_length = head.content_length;
    Decision decision = connection_.registry->handler()(head);
    if (auto* respond = std::get_if<decision::Respond>(&decision)) {
        return submit_response(stream_id, stream, std::move(respond->response));
    }
    if (auto* defer = std::get_if<decision::Defer>(&decision)) {
        return defer->start(await_reply(stream_id));
    }
    auto& read_body = std::get<decision::ReadBody>(decision);
    stream.phase = Stream::Phase::ReadingBody;
    stream.body_limit = read_body.limit;
    stream.then = std::move(read_body.then);
    // What is declared is held from now on, in the one allocation the body will need.
    stream.body.reserve(
        std::min<std::uint64_t>(stream.declared_length.value_or(0), stream.body_limit));
    hold(stream, stream.body.capacity());
}

int Http2Session::on_data_chunk(std::int32_t stream_id, const std::uint8_t* data,
                                std::size_t length) {
    Stream* stream = find(stream_id);
    if (stream == nullptr) return 0;
    stream->body_received += length;
    // Bodies nobody asked for are dropped; nghttp2 still returns their flow-control credit.
    if (stream->phase != Stream::Phase::ReadingBody) return 0;
    if (length > stream->body_limit - stream->body.size()) {
        stream->phase = Stream::Phase::DroppingBody;
        stream->body = {};
        hold(*stream, 0);
        reset(stream_id, *stream, NGHTTP2_INTERNAL_ERROR);
        return 0;
    }
    stream->body.append(reinterpret_cast<const char*>(data), length);
    hold(*stream, stream->body.capacity());
    return 0;
}

void Http2Session::end_of_request_body(std::int32_t stream_id, Stream& stream) {
    assert(stream.phase == Stream::Phase::ReadingBody && "a body delivered to no reader");
    auto then = std::move(stream.then);
    std::string body = std::exchange(stream.body, {});
    hold(stream, 0);
    then(std::move(body), await_reply(stream_id));
}

Reply Http2Session::await_reply(std::int32_t stream_id) {
    Stream* stream = find(stream_id);
    // Only a stream being decided or whose body has just ended waits for a reply.
    assert(
        stream != nullptr &&
        (stream->phase == Stream::Phase::Deciding || stream->phase == Stream::Phase::ReadingBody) &&
        "a reply awaited for no stream");
    std::shared_ptr<ClientPresence> client;
    if (stream != nullptr && stream->phase != Stream::Phase::AwaitingReply) {
        stream->phase = Stream::Phase::AwaitingReply;
        ++awaiting_replies_;
        stream->client = client = std::make_shared<ClientPresence>(connection_.slot.id());
    }
    // Weak: the read loop owns the connection; a reply that outlives it is dropped.
    return Reply(ReplyChannel<Http2Session, std::weak_ptr<Http2Session>, Strand>(
                     weak_from_this(), static_cast<std::uint64_t>(stream_id),
                     connection_.socket.get_executor()),
                 std::move(client));
}

Http2Session::Stream* Http2Session::take_awaiting(std::int32_t stream_id) {
    if (closed_) return nullptr;
    Stream* stream = find(stream_id);
    // The stream may have closed meanwhile (the client reset it): then there is no one to answer.
    // A stream leaves AwaitingReply only here or when it closes: a live stream that waits no
    // longer has had its reply already.
    assert((stream == nullptr || stream->phase == Stream::Phase::AwaitingReply) &&
           "a reply delivered twice");
    if (stream == nullptr || stream->phase != Stream::Phase::AwaitingReply) return nullptr;
    stream->phase = Stream::Phase::Answered;
    stream->client = nullptr;  // answered: it no longer matters whether the client waits
    --awaiting_replies_;
    return stream;
}

void Http2Session::on_reply(std::uint64_t stream_id, Response response) {
    auto id = static_cast<std::int32_t>(stream_id);
    Stream* stream = take_awaiting(id);
    if (stream == nullptr) return;
    submit_response(id, *stream, std::move(response));
    advance();
}

void Http2Session::on_unanswered(std::uint64_t stream_id) {
    auto id = static_cast<std::int32_t>(stream_id);
    Stream* stream = take_awaiting(id);
    if (stream == nullptr) return;
    reset(id, *stream, NGHTTP2_INTERNAL_ERROR);
    advance();
}

void Http2Session::submit_response(std::int32_t stream_id, Stream& stream, Response response) {
    std::vector<std::string> names;
    names.reserve(response.fields.size() + 2);
    std::vector<nghttp2_nv> headers;
    headers.reserve(response.fields.size() + 2);
    names.push_back(":status");
    std::string status = std::to_string(response.status);
    headers.push_back(name_value(names.back(), status));
    for (const Field& field : response.fields) {
        names.push_back(lower_case(field.name));
        if (is_connection_specific(names.back())) continue;
        headers.push_back(name_value(names.back(), field.value));
    }
    names.push_back("content-length");
    std::string length = std::to_string(response.body.size());
    headers.push_back(name_value(names.back(), length));

    stream.phase = Stream::Phase::Answered;
    stream.response_body = std::move(response.body);
    nghttp2_data_provider body{};
    body.read_callback = data_source_read_callback;
    bool has_body = !stream.head_request && !stream.response_body.empty();
    // nghttp2 copies the header block; the names and values need only outlive this call.
    int rv = nghttp2_submit_response(session_.get(), stream_id, headers.data(), headers.size(),
                                     has_body ? &body : nullptr);
    if (rv != 0) reset(stream_id, stream, NGHTTP2_INTERNAL_ERROR);
}

ssize_t Http2Session::read_response_body(std::int32_t stream_id, std::uint8_t* out,
                                         std::size_t length, std::uint32_t* flags) {
    Stream* stream = find(stream_id);
    if (stream == nullptr) return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    const std::string_view body = stream->response_body.view();
    std::size_t n = std::min(length, body.size() - stream->response_sent);
    std::memcpy(out, body.data() + stream->response_sent, n);
    stream->response_sent += n;
    if (stream->response_sent == body.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
}

int Http2Session::on_frame_send(const nghttp2_frame& frame) {
    if (!ends_stream(frame)) return 0;
    Stream* stream = find(frame.hd.stream_id);
    // Answered while the request body is still arriving: tell the client to stop sending,
    // unless the rest already fits the credit it holds. Some clients (curl 7.88) drop a complete
    // response on RST_STREAM(NO_ERROR); a remainder within the window costs nothing to let in.
    if (stream != nullptr && !stream->remote_closed &&
        !rest_fits_window(frame.hd.stream_id, *stream)) {
        reset(frame.hd.stream_id, *stream, NGHTTP2_NO_ERROR);
    }
    return 0;
}

bool Http2Session::rest_fits_window(std::int32_t stream_id, const Stream& stream) {
    const std::optional<std::uint64_t>& declared = stream.declared_length;
    if (!declared) return false;
    std::uint64_t rest = *declared > stream.body_received ? *declared - stream.body_received : 0;
    std::int32_t window = nghttp2_session_get_stream_local_window_size(session_.get(), stream_id);
    return window >= 0 && rest <= static_cast<std::uint64_t>(window);
}

int Http2Session::on_stream_close(std::int32_t stream_id) {
    if (Stream* stream = find(stream_id); stream != nullptr) {
        if (stream->phase == Stream::Phase::AwaitingReply) --awaiting_replies_;
        hold(*stream, 0);
    }
    // A stream that closes before its answer tells its handler's work that the client has gone.
    streams_.erase(stream_id);
    if (stream_id == head_stream_) head_stream_ = 0;
    connection_.slot.served();
    return 0;
}

std::size_t Http2Session::unsent_output() const {
    std::size_t unsent =
        out_.size() + nghttp2_session_get_outbound_queue_size(session_.get()) * QUEUED_FRAME_BYTES;
    for (const auto& [id, stream] : streams_)
        unsent += stream->response_body.size() - stream->response_sent;
    return unsent;
}

void Http2Session::advance() {
    do_write();
    watch();
}

std::optional<RequestDeadline::Clock::time_point> Http2Session::oldest_unfinished() const {
    // The preface is a head too.
    if (!settings_received_) return preface_begun_;
    std::optional<RequestDeadline::Clock::time_point> oldest;
    if (head_stream_ != 0) oldest = head_begun_;
    for (const auto& [id, stream] : streams_) {
        if (!stream->remote_closed && !stream->reset && (!oldest || stream->begun < *oldest))
            oldest = stream->begun;
    }
    return oldest;
}

void Http2Session::on_request_deadline() {
    const auto overdue = [now = RequestDeadline::Clock::now(),
                          timeout = connection_.registry->limits().request_timeout](auto begun) {
        return begun + timeout <= now;
    };
    // The preface, or a header block cut short: the connection's framing cannot go on.
    if (!settings_received_ || (head_stream_ != 0 && overdue(head_begun_))) return close();
    for (const auto& [id, stream] : streams_) {
        if (!stream->remote_closed && !stream->reset && overdue(stream->begun))
            reset(id, *stream, NGHTTP2_CANCEL);
    }
    advance();
}

void Http2Session::watch() {
    if (closed_) return;
    if (const auto oldest = oldest_unfinished()) {
        connection_.deadline.start(*oldest,
                                   [self = shared_from_this()] { self->on_request_deadline(); });
    } else {
        connection_.deadline.stop();
    }
    // Only a handler at work keeps the connection from being evicted at the cap: streams whose
    // heads, bodies or unread answers wait for the peer do not.
    if (awaiting_replies_ == 0) {
        connection_.slot.idle();
    } else {
        connection_.slot.busy();
    }
    if (streams_.empty() && !writing_ && out_.size() == 0 && out_.capacity() > IDLE_OUTPUT_CAPACITY)
        out_.shrink_to_fit();
    if (reading_ || nghttp2_session_want_read(session_.get()) == 0) return;
    // A peer that leaves its answers unread is not read from until it does: what it would ask
    // for next could only pile up. Bodies waiting for its flow-control credit pause nothing
    // while the socket takes what we send, since the credit comes as input.
    if (writing_ && unsent_output() > MAX_UNSENT_OUTPUT) return;
    do_read();
}

void Http2Session::do_read() {
    reading_ = true;
    connection_.socket.async_read_some(
        boost::asio::buffer(in_),
        [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
            self->on_read(ec, n);
        });
}

void Http2Session::on_read(boost::system::error_code ec, std::size_t n) {
    reading_ = false;
    if (ec || closed_ || connection_.slot.evicted() || peer_has_left(connection_.socket))
        return close();
    if (!receive(in_.data(), n)) return close();
    advance();
}

bool Http2Session::receive(const std::uint8_t* data, std::size_t length) {
    // nghttp2 answers protocol errors itself (GOAWAY); a negative result is fatal.
    return nghttp2_session_mem_recv(session_.get(), data, length) >= 0;
}

void Http2Session::do_write() {
    while (!writing_ && !closed_) {
        while (out_.size() < WRITE_BATCH) {
            const std::uint8_t* data = nullptr;
            ssize_t n = nghttp2_session_mem_send(session_.get(), &data);
            if (n < 0) return close();
            if (n == 0) break;
            out_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
        }
        if (out_.empty()) return close_when_done();
        std::size_t written = write_now(connection_.socket, out_);
        if (written == out_.size()) {
            out_.clear();
            continue;
        }
        writing_ = true;
        boost::asio::async_write(connection_.socket, boost::asio::buffer(out_) + written,
                                 [self = shared_from_this()](boost::system::error_code ec,
                                                             std::size_t) { self->on_write(ec); });
    }
}

void Http2Session::on_write(boost::system::error_code ec) {
    writing_ = false;
    out_.clear();
    if (ec) return close();
    advance();
}

void Http2Session::close_when_done() {
    if (nghttp2_session_want_read(session_.get()) == 0 &&
        nghttp2_session_want_write(session_.get()) == 0) {
        close();
    }
}

void Http2Session::close() {
    if (closed_) return;
    closed_ = true;
    connection_.close();
    for (const auto& [id, stream] : streams_) {
        if (stream->client) std::exchange(stream->client, nullptr)->leave();
    }
}

}  // namespace zembra::http
