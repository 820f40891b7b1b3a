// The bounds the server keeps whatever a client sends, so that memory, descriptors and time spent
// on one connection stay fixed. Each is a fixed number; the two a test needs to shrink are
// carried in ServerLimits.
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
// A request head that has begun must be complete within this; an idle connection waits forever.
inline constexpr std::chrono::seconds HEAD_TIMEOUT{30};
// Live connections. An idle HTTP/2 connection holds about 19 KiB of resident memory, an HTTP/1.1
// one about 6 KiB: 128 idle connections stay within 2.5 MiB, far more than one owner's clients
// keep open.
inline constexpr std::size_t MAX_CONNECTIONS = 128;

struct ServerLimits {
    // At the cap a new connection closes the one that has waited longest for its peer (idle, or
    // with a request or an answer stalled on the peer's side), or is closed if every connection
    // has a handler at work.
    std::size_t max_connections = MAX_CONNECTIONS;
    std::chrono::milliseconds head_timeout = HEAD_TIMEOUT;
};

}  // namespace zembra::http
