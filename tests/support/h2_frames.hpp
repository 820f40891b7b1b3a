// HTTP/2 as raw bytes, for clients that do what a well-behaved library never would: header
// blocks written by hand (HPACK without Huffman coding), frames sent regardless of what the
// server says, and a scan of the frames that come back without decoding them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zembra::test::h2 {

enum FrameType : std::uint8_t {
    DATA = 0x0,
    HEADERS = 0x1,
    RST_STREAM = 0x3,
    SETTINGS = 0x4,
    GOAWAY = 0x7,
};

inline constexpr std::uint8_t END_STREAM = 0x1;
inline constexpr std::uint8_t ACK = 0x1;
inline constexpr std::uint8_t END_HEADERS = 0x4;

inline constexpr std::uint16_t SETTINGS_INITIAL_WINDOW_SIZE = 0x4;
// The largest frame payload a peer must accept before it raises SETTINGS_MAX_FRAME_SIZE.
inline constexpr std::size_t DEFAULT_MAX_FRAME_PAYLOAD = 16384;

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream_id,
                  std::string_view payload);
// The connection preface followed by a SETTINGS frame with `settings` (identifier, value).
std::string client_preface(const std::vector<std::pair<std::uint16_t, std::uint32_t>>& settings);

// HPACK field representations. Indices count from 1 in the static table; the dynamic table
// follows it, its newest entry first.
namespace hpack {

inline constexpr std::uint32_t AUTHORITY = 1;
inline constexpr std::uint32_t METHOD_GET = 2;
inline constexpr std::uint32_t METHOD_POST = 3;
inline constexpr std::uint32_t PATH = 4;
inline constexpr std::uint32_t SCHEME_HTTP = 6;
inline constexpr std::uint32_t CONTENT_LENGTH = 28;
inline constexpr std::uint32_t NEWEST_DYNAMIC_ENTRY = 62;
// What an entry costs in the dynamic table beyond its name and value.
inline constexpr std::size_t ENTRY_OVERHEAD = 32;

std::string indexed(std::uint32_t index);
// Literals that join the dynamic table, under a new name or the name of a table entry.
std::string literal_indexed(std::string_view name, std::string_view value);
std::string literal_indexed(std::uint32_t name_index, std::string_view value);
// A literal that stays out of the dynamic table, under the name of a table entry.
std::string literal_unindexed(std::uint32_t name_index, std::string_view value);

}  // namespace hpack

struct FrameHead {
    std::uint32_t length;
    std::uint8_t type;
    std::uint8_t flags;
    std::uint32_t stream_id;
};

// Cuts the bytes received into frames, whatever pieces they arrive in; payloads are skipped.
class FrameScanner {
  public:
    std::vector<FrameHead> feed(std::string_view bytes);

  private:
    std::string partial_head_;
    std::size_t payload_left_ = 0;
};

}  // namespace zembra::test::h2
