// HTTP/2 as raw bytes, for clients that do what a well-behaved library never would: header
// blocks written by hand (HPACK without Huffman coding), frames sent regardless of what the
// server says (ignoring its limits, never reading, never finishing a frame), and the frames that
// come back cut apart, with a response's status decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zembra::test::h2 {

inline constexpr std::string_view PREFACE = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

enum FrameType : std::uint8_t {
    DATA = 0x0,
    HEADERS = 0x1,
    RST_STREAM = 0x3,
    SETTINGS = 0x4,
    PING = 0x6,
    GOAWAY = 0x7,
    WINDOW_UPDATE = 0x8,
};

inline constexpr std::uint8_t END_STREAM = 0x1;
inline constexpr std::uint8_t ACK = 0x1;
inline constexpr std::uint8_t END_HEADERS = 0x4;

inline constexpr std::uint16_t SETTINGS_INITIAL_WINDOW_SIZE = 0x4;
// The largest frame payload a peer must accept before it raises SETTINGS_MAX_FRAME_SIZE.
inline constexpr std::size_t DEFAULT_MAX_FRAME_PAYLOAD = 16384;

using Settings = std::vector<std::pair<std::uint16_t, std::uint32_t>>;

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream_id,
                  std::string_view payload);
// A SETTINGS frame with `values` (identifier, value).
std::string settings(const Settings& values = {});
// The connection preface followed by a SETTINGS frame with `values`.
std::string client_preface(const Settings& values = {});
std::string window_update(std::uint32_t stream_id, std::uint32_t increment);
// The preface and settings of a client whose flow-control windows are as wide as they go.
std::string wide_open_start();

// HPACK field representations. Indices count from 1 in the static table; the dynamic table
// follows it, its newest entry first.
namespace hpack {

inline constexpr std::uint32_t AUTHORITY = 1;
inline constexpr std::uint32_t METHOD_GET = 2;
inline constexpr std::uint32_t METHOD_POST = 3;
inline constexpr std::uint32_t PATH = 4;
inline constexpr std::uint32_t SCHEME_HTTP = 6;
inline constexpr std::uint32_t CONTENT_LENGTH = 28;
inline constexpr std::uint32_t CONTENT_TYPE = 31;
inline constexpr std::uint32_t NEWEST_DYNAMIC_ENTRY = 62;
// What an entry costs in the dynamic table beyond its name and value.
inline constexpr std::size_t ENTRY_OVERHEAD = 32;

std::string indexed(std::uint32_t index);
// Literals that join the dynamic table, under a new name or the name of a table entry.
std::string literal_indexed(std::string_view name, std::string_view value);
std::string literal_indexed(std::uint32_t name_index, std::string_view value);
// Literals that stay out of the dynamic table, under the name of a table entry or a new name.
std::string literal_unindexed(std::uint32_t name_index, std::string_view value);
std::string literal_unindexed_name(std::string_view name, std::string_view value);

}  // namespace hpack

// The fields of a GET of `path` for localhost.
std::string request_fields(std::string_view path);
// The fields of a POST of `path` for localhost with a JSON body of `length` bytes.
std::string post_fields(std::string_view path, std::size_t length);

struct Frame {
    std::uint8_t type;
    std::uint8_t flags;
    std::uint32_t stream_id;
    std::string payload;
};
// The whole frames at the start of `bytes`, in order.
std::vector<Frame> parse_frames(std::string_view bytes);
// The ":status" of the first response head on `stream_id` among the frames, if any.
std::optional<int> response_status(const std::vector<Frame>& frames, std::uint32_t stream_id);
// The error code of the first RST_STREAM on `stream_id`, if any.
std::optional<std::uint32_t> reset_code(const std::vector<Frame>& frames, std::uint32_t stream_id);
// The value the first SETTINGS frame (not an acknowledgement) gives setting `id`, if any.
std::optional<std::uint32_t> setting(const std::vector<Frame>& frames, std::uint16_t id);

}  // namespace zembra::test::h2
