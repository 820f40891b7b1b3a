// HTTP/2 bytes written and read by hand, for clients that break the rules a real client keeps
// (ignoring the server's limits, never reading, never finishing a frame).
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
    DATA = 0,
    HEADERS = 1,
    RST_STREAM = 3,
    SETTINGS = 4,
    WINDOW_UPDATE = 8
};
enum Flag : std::uint8_t { END_STREAM = 1, END_HEADERS = 4 };

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  std::string_view payload);
std::string settings(const std::vector<std::pair<std::uint16_t, std::uint32_t>>& values = {});
std::string window_update(std::uint32_t stream, std::uint32_t increment);
// The preface and settings of a client whose flow-control windows are as wide as they go.
std::string wide_open_start();

// HPACK, without Huffman coding.
std::string hpack_integer(std::size_t value, int prefix_bits, std::uint8_t first = 0);
// A literal field whose name is the static table's entry `name_index`, not indexed.
std::string hpack_literal(std::size_t name_index, std::string_view value);
// A literal field with a new name, added to the dynamic table.
std::string hpack_indexed_literal(std::string_view name, std::string_view value);
// The fields of a GET of `path`.
std::string request_fields(std::string_view path);

struct Frame {
    std::uint8_t type;
    std::uint8_t flags;
    std::uint32_t stream;
    std::string payload;
};
// The whole frames at the start of `bytes`, in order.
std::vector<Frame> parse_frames(std::string_view bytes);
// The ":status" of the first response head on `stream` among the frames, if any.
std::optional<int> response_status(const std::vector<Frame>& frames, std::uint32_t stream);
// The error code of the first RST_STREAM on `stream`, if any.
std::optional<std::uint32_t> reset_code(const std::vector<Frame>& frames, std::uint32_t stream);
// The value the first SETTINGS frame (not an acknowledgement) gives setting `id`, if any.
std::optional<std::uint32_t> setting(const std::vector<Frame>& frames, std::uint16_t id);

}  // namespace zembra::test::h2
