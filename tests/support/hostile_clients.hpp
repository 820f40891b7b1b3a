// Clients that a buggy or hostile owner-side program could run against the helper, each a short
// script of raw HTTP/1.1 or HTTP/2 bytes. The stress tests run them one at a time and bound what
// the helper holds meanwhile; bench/soak runs them all at once. Every client connects with the
// owner's ids (the caller is root) and ends by itself: at its size, at its time bound, when the
// helper closes the connection, or as soon as `keep_going`, asked between its steps, says no.
// An answer that breaks a client's premise throws std::runtime_error.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/unix_client.hpp"

namespace zembra::test::hostile {

using KeepGoing = std::function<bool()>;

struct Outcome {
    std::size_t bytes_sent = 0;
    std::size_t requests_sent = 0;     // HTTP/1.1 requests or HTTP/2 streams begun
    std::size_t answered_ok = 0;       // status 200, where the client reads its answers
    std::size_t answered_busy = 0;     // status 503, likewise
    std::size_t closed_by_helper = 0;  // connections the helper ended
};

// HTTP/2 streams whose header block puts one field of about 4 KB into HPACK's dynamic table and
// then refers to it as often as one 16 KB frame allows: a list of about 50 MB once decoded.
// GET /logs streams, or POST /stop streams that declare a body that never comes. The connection
// stays open for a moment after the last stream.
struct BombOptions {
    std::size_t streams = 20;
    bool body_never_comes = false;
};
Outcome hpack_bomb(const std::string& socket, const BombOptions& options,
                   const KeepGoing& keep_going);

// GET /logs on consecutive HTTP/2 streams, `per_step` at a time, four bytes of header block each.
struct PipelineOptions {
    std::size_t requests = 200'000;
    std::size_t per_step = 1000;
    // Reads and drops the answers; otherwise not one byte is read.
    bool read_answers = false;
    // Announces a stream window of zero, so no answer body can flow.
    bool zero_window = false;
    // Gives the helper a moment after each step: for requests that each may cost megabytes.
    bool paced = false;
};
Outcome pipelined_logs(const std::string& socket, const PipelineOptions& options,
                       const KeepGoing& keep_going);

// One HTTP/1.1 GET /logs on each of `connections` connections, never read; `between` runs before
// each request (to change what the log buffer holds, say). The connections stay open for a
// moment after the last request.
Outcome unread_logs(const std::string& socket, std::size_t connections,
                    const std::function<void()>& between, const KeepGoing& keep_going);

// A chunked HTTP/1.1 POST /stop, refused with 411 on its head; then the last chunk and trailer
// lines, `trailer_bytes` of them, that never end the trailer.
Outcome trailer_flood(const std::string& socket, std::size_t trailer_bytes,
                      const KeepGoing& keep_going);

// POST /stop of `session_id` on one HTTP/2 connection, then, while that stop runs, `parallel`
// more spread over `connections` further connections; waits for every answer.
Outcome parallel_stops(const std::string& socket, const std::string& session_id,
                       std::size_t parallel, std::size_t connections, const KeepGoing& keep_going);

// `connections` HTTP/2 connections, one after another, each sending `starts` whole POST /start
// requests with `start_body` and closing at once: a retry loop that gives up.
Outcome abandoned_starts(const std::string& socket, std::size_t connections, std::size_t starts,
                         const std::string& start_body, const KeepGoing& keep_going);

// `connections` HTTP/2 connections, each beginning `streams` POST /start requests with a head
// near the size limit (97 fields) and 4,000 of the 4,096 body bytes it declares, never the rest;
// all held open for `hold` once sent, then closed.
Outcome unfinished_bodies(const std::string& socket, std::size_t connections, std::size_t streams,
                          std::chrono::milliseconds hold, const KeepGoing& keep_going);

// POST /start with `start_body` again and again, `parallel` at a time on as many HTTP/2
// connections, `starts` in all, each answer awaited: every start stops the Core before it.
Outcome replacing_starts(const std::string& socket, const std::string& start_body,
                         std::size_t starts, std::size_t parallel, const KeepGoing& keep_going);

// Connections that never send a byte, held by the caller.
std::vector<std::unique_ptr<UnixClient>> idle_connections(const std::string& socket,
                                                          std::size_t count);

// HTTP/1.1 request heads that never end, one byte per second on each connection, for
// `duration` or until the helper has closed every connection.
Outcome slow_heads(const std::string& socket, std::size_t connections,
                   std::chrono::seconds duration, const KeepGoing& keep_going);

// Clients that leave mid-exchange, `rounds` times each: a request sent and the connection
// closed before its answer, a head cut short, an HTTP/2 stream whose connection then goes.
Outcome vanishing_clients(const std::string& socket, std::size_t rounds);

}  // namespace zembra::test::hostile
