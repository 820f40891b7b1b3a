// One HTTP/2 connection (prior knowledge) on an nghttp2 server session: every stream is decided
// and answered on its own, so a slow reply on one stream never delays another.
#pragma once

#include <nghttp2/nghttp2.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <boost/beast/core/flat_buffer.hpp>

#include "http/connection_owner.hpp"
#include "http/connection_registry.hpp"
#include "http/message.hpp"
#include "http/request_deadline.hpp"
#include "http/transport.hpp"

namespace zembra::http {

class Http2Session : public Connection, public std::enable_shared_from_this<Http2Session> {
  public:
    // `preface` holds the bytes the protocol detector has read: the client preface and more.
    Http2Session(Socket socket, boost::beast::flat_buffer preface, ConnectionSlot slot,
                 std::shared_ptr<ConnectionRegistry> registry);
    ~Http2Session() override;

    // Runs on the connection's strand. `stopping`: a graceful stop reached the detector first;
    // `begun`: when the preface's first byte arrived.
    void start(bool stopping, RequestDeadline::Clock::time_point begun);
    void stop() override;
    void evict() override;

    void on_reply(std::uint64_t stream_id, Response response);
    void on_unanswered(std::uint64_t stream_id);

    // Targets of nghttp2's callbacks. They run inside mem_recv/mem_send and so must never call
    // either; they may only submit frames, which the write loop picks up afterwards.
    int on_begin_headers(const nghttp2_frame& frame);
    int on_header(const nghttp2_frame& frame, std::string_view name, std::string_view value);
    int on_frame_recv(const nghttp2_frame& frame);
    int on_data_chunk(std::int32_t stream_id, const std::uint8_t* data, std::size_t length);
    int on_frame_send(const nghttp2_frame& frame);
    int on_stream_close(std::int32_t stream_id);
    ssize_t read_response_body(std::int32_t stream_id, std::uint8_t* out, std::size_t length,
                               std::uint32_t* flags);

  private:
    struct Stream;
    struct SessionDeleter {
        void operator()(nghttp2_session* session) const { nghttp2_session_del(session); }
    };

    Stream* find(std::int32_t stream_id);
    // A new stream fits the request-byte budgets (see limits.hpp).
    bool may_open_stream() const;
    // Counts `bytes` as what `stream` holds against the budgets.
    void hold(Stream& stream, std::size_t bytes);
    void reset(std::int32_t stream_id, Stream& stream, std::uint32_t error_code);
    // The stream, if it still waits for its reply; it waits no longer.
    Stream* take_awaiting(std::int32_t stream_id);
    void decide(std::int32_t stream_id, Stream& stream);
    void end_of_request_body(std::int32_t stream_id, Stream& stream);
    Reply await_reply(std::int32_t stream_id);
    void submit_response(std::int32_t stream_id, Stream& stream, Response response);
    // The declared rest of the request body can arrive without further flow-control credit.
    bool rest_fits_window(std::int32_t stream_id, const Stream& stream);
    void on_stop();
    // When the oldest request still arriving (or the preface) began, if any.
    std::optional<RequestDeadline::Clock::time_point> oldest_unfinished() const;
    // Resets the streams whose requests are overdue, or closes the connection when its preface
    // or a header block is.
    void on_request_deadline();
    // Sends what is due, then watches the connection.
    void advance();
    // Keeps the request deadline, the idle mark and the read loop in step with the state.
    void watch();
    // What we hold for the peer: output not yet written, bodies not yet sent, queued frames.
    std::size_t unsent_output() const;
    void do_read();
    void on_read(boost::system::error_code ec, std::size_t n);
    bool receive(const std::uint8_t* data, std::size_t length);
    void do_write();
    void on_write(boost::system::error_code ec);
    void close_when_done();
    void close();

    ConnectionOwner connection_;
    boost::beast::flat_buffer preface_;
    std::unordered_map<std::int32_t, std::unique_ptr<Stream>> streams_;
    // After streams_, so that the session goes first: nothing nghttp2 does can reach a stream
    // that is already gone.
    std::unique_ptr<nghttp2_session, SessionDeleter> session_;

    std::array<std::uint8_t, 16 * 1024> in_;
    std::string out_;  // reused; one write in flight at a time
    RequestDeadline::Clock::time_point preface_begun_;
    // The stream whose header block has begun and not yet ended (one at a time on a connection).
    std::int32_t head_stream_ = 0;
    RequestDeadline::Clock::time_point head_begun_;
    std::size_t awaiting_replies_ = 0;  // streams whose handlers are still at work
    std::size_t held_ = 0;              // request bytes the streams hold, all counted
    bool settings_received_ = false;    // the client's preface is complete
    bool reading_ = false;
    bool writing_ = false;
    bool goaway_sent_ = false;
    bool closed_ = false;
};

}  // namespace zembra::http
