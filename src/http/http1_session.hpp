// One HTTP/1.x connection: requests read head first and answered one at a time, in order, with
// keep-alive; the body is read only when the application asks for it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "http/connection_owner.hpp"
#include "http/connection_registry.hpp"
#include "http/message.hpp"
#include "http/request_deadline.hpp"
#include "http/transport.hpp"

namespace zembra::http {

class Http1Session : public Connection, public std::enable_shared_from_this<Http1Session> {
  public:
    // `buffer` holds the bytes the protocol detector has already read.
    Http1Session(Socket socket, boost::beast::flat_buffer buffer, ConnectionSlot slot,
                 std::shared_ptr<ConnectionRegistry> registry);

    // Runs on the connection's strand. `stopping`: a graceful stop reached the detector first;
    // `begun`: when the first byte arrived.
    void start(bool stopping, RequestDeadline::Clock::time_point begun);
    void stop() override;
    void evict() override;

    void on_reply(std::uint64_t key, Response response);
    void on_unanswered(std::uint64_t key);

  private:
    using BodyDone = void (Http1Session::*)(boost::system::error_code);

    // Where the connection is in its exchange; one request at a time.
    enum class Phase {
        ReadingHead,    // waiting for, or reading, a request head
        Deciding,       // the head is in; the handler decides what to do with it
        ReadingBody,    // reading the body (after a 100 Continue, if asked), or past a refused one
        AwaitingReply,  // a handler is at work; nothing is read meanwhile
        Writing,        // a response is going out
        Lingering,      // the last response is out; input is drained before the close
        Closed,
    };

    // What the request being served has shown of itself; reset with each head.
    struct RequestFacts {
        bool keep_alive = true;
        bool http_1_0 = false;
        bool head_request = false;
        bool body_unread = false;        // bytes of its body are still on the connection
        bool closes_connection = false;  // its response ends the connection
    };

    void new_head_parser();
    void do_read_header();
    // Reads the rest of a head whose first byte came at `begun`.
    void read_header(RequestDeadline::Clock::time_point begun);
    void on_header(boost::system::error_code ec);
    // The request begun at request_begun_ must arrive whole in time: head, and body if any.
    void keep_request_deadline();
    void decide(const RequestHead& head);
    void do_continue(std::size_t limit);
    void do_read_body(std::size_t limit);
    // Moves the head parser into a body parser capped at `limit`; `done` gets the outcome.
    void read_body(std::size_t limit, BodyDone done);
    void do_read_body_some();
    void on_body_some(boost::system::error_code ec, std::size_t consumed);
    void on_body(boost::system::error_code ec);
    Reply await_reply();
    // Looks out for the client of request `key` closing its connection before the answer.
    void watch_client(std::uint64_t key);
    void stop_watching_client();
    void write_response(const Response& response);
    bool can_discard_body() const;
    void on_write(boost::system::error_code ec);
    void do_discard_body();
    void on_discarded(boost::system::error_code ec);
    void on_stop();
    void linger();
    void do_drain();
    // Moves to `next` unless the connection is closed, which it stays.
    void enter(Phase next);
    void close();

    ConnectionOwner connection_;
    boost::beast::flat_buffer buffer_;

    std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> head_parser_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> body_parser_;
    std::move_only_function<void(std::string, Reply)> then_;
    std::string out_;              // the response head; reused for every response
    Body out_body_;                // held until written
    std::size_t body_budget_ = 0;  // bytes the body read may still take, framing included
    BodyDone body_done_ = nullptr;
    boost::asio::steady_timer linger_timer_;
    std::size_t drained_ = 0;

    std::uint64_t request_key_ = 0;
    RequestDeadline::Clock::time_point request_begun_;
    // The client of the request a handler works on; told if the connection closes first.
    std::shared_ptr<ClientPresence> awaited_client_;
    bool watching_client_ = false;
    Phase phase_ = Phase::ReadingHead;
    RequestFacts facts_;
    bool stopping_ = false;  // a graceful stop: close once the exchange in progress is done
};

}  // namespace zembra::http
