// The bounds the server keeps whatever a client sends, so that memory, descriptors and time spent
// on one connection, and on all of them together, stay fixed. Each is a fixed number; those a test
// needs to shrink are carried in ServerLimits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zembra::http {

// A request head: Beast's own default for an HTTP/1.1 head, and the same number for an HTTP/2
// header list as it decodes (name + value + 32 per field), so a few compressed bytes cannot
// unfold into more.
inline constexpr std::size_t MAX_HEAD_BYTES = 8 * 1024;
// Header fields of one request on either protocol; the API reads two of them.
inline constexpr std::size_t MAX_HEAD_FIELDS = 100;
// HTTP/2 streams open at once on one connection; each holds its head and, once answered, its
// response until the client has taken it.
inline constexpr std::uint32_t MAX_CONCURRENT_STREAMS = 100;
// Output held for a peer that is not reading (unsent bytes, bodies not yet sent, queued frames)
// beyond which its connection is no longer read: a few whole answers.
inline constexpr std::size_t MAX_UNSENT_OUTPUT = 1 << 20;
// A request that has begun must have arrived whole, head and body, within this (HTTP/1.1: the
// connection closes; HTTP/2: the stream is reset); an idle connection waits forever.
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{30};
// Request bytes held while they arrive: the HTTP/2 bodies being collected. (A head is let go once
// it has been decided, and only one arrives at a time on a connection; an HTTP/1.1 connection
// holds one request.) A connection that holds its share refuses new streams (REFUSED_STREAM,
// which a client may retry); once all connections together hold the process's share, only one
// that holds nothing may open a stream, so a client that sends whole requests is still served
// while others hoard. In all, the process's share and a body per connection: under 9 MiB.
inline constexpr std::size_t MAX_HELD_REQUEST_BYTES_PER_CONNECTION = 128 * 1024;
inline constexpr std::size_t MAX_HELD_REQUEST_BYTES = 8 << 20;
// Live connections. An idle HTTP/2 connection holds about 19 KiB of resident memory, an HTTP/1.1
// one about 6 KiB: 128 idle connections stay within 2.5 MiB, far more than one owner's clients
// keep open.
inline constexpr std::size_t MAX_CONNECTIONS = 128;

struct ServerLimits {
    // At the cap a new connection closes the one that has waited longest for its peer (idle, or
    // with a request or an answer stalled on the peer's side), or is closed if every connection
    // has a handler at work.
    std::size_t max_connections = MAX_CONNECTIONS;
    std::chrono::milliseconds request_timeout = REQUEST_TIMEOUT;
    std::size_t max_held_request_bytes_per_connection = MAX_HELD_REQUEST_BYTES_PER_CONNECTION;
    std::size_t max_held_request_bytes = MAX_HELD_REQUEST_BYTES;
};

}  // namespace zembra::http
