#include "support/h2_frames.hpp"

#include <algorithm>

namespace zembra::test::h2 {
namespace {

constexpr std::string_view CONNECTION_PREFACE = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr std::size_t FRAME_HEAD_SIZE = 9;

void append_big_endian(std::string& out, std::uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xff);
}

std::uint32_t read_big_endian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (char byte : bytes)
        value = (value << 8) | static_cast<unsigned char>(byte);
    return value;
}

// An HPACK integer (RFC 7541, 5.1) in a first byte that keeps `pattern` above `prefix_bits`.
std::string integer(std::uint8_t pattern, int prefix_bits, std::uint32_t value) {
    const std::uint32_t limit = (1u << prefix_bits) - 1;
    std::string out;
    if (value < limit) {
        out += static_cast<char>(pattern | value);
        return out;
    }
    out += static_cast<char>(pattern | limit);
    for (value -= limit; value >= 0x80; value >>= 7)
        out += static_cast<char>(0x80 | (value & 0x7f));
    out += static_cast<char>(value);
    return out;
}

std::string string_literal(std::string_view text) {
    return integer(0x00, 7, static_cast<std::uint32_t>(text.size())) + std::string(text);
}

}  // namespace

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream_id,
                  std::string_view payload) {
    std::string out;
    append_big_endian(out, static_cast<std::uint32_t>(payload.size()), 3);
    out += static_cast<char>(type);
    out += static_cast<char>(flags);
    append_big_endian(out, stream_id, 4);
    out += payload;
    return out;
}

std::string client_preface(const std::vector<std::pair<std::uint16_t, std::uint32_t>>& settings) {
    std::string payload;
    for (const auto& [identifier, value] : settings) {
        append_big_endian(payload, identifier, 2);
        append_big_endian(payload, value, 4);
    }
    return std::string(CONNECTION_PREFACE) + frame(SETTINGS, 0, 0, payload);
}

namespace hpack {

std::string indexed(std::uint32_t index) {
    return integer(0x80, 7, index);
}

std::string literal_indexed(std::string_view name, std::string_view value) {
    return integer(0x40, 6, 0) + string_literal(name) + string_literal(value);
}

std::string literal_indexed(std::uint32_t name_index, std::string_view value) {
    return integer(0x40, 6, name_index) + string_literal(value);
}

std::string literal_unindexed(std::uint32_t name_index, std::string_view value) {
    return integer(0x00, 4, name_index) + string_literal(value);
}

}  // namespace hpack

std::vector<FrameHead> FrameScanner::feed(std::string_view bytes) {
    std::vector<FrameHead> heads;
    while (!bytes.empty()) {
        if (payload_left_ > 0) {
            const std::size_t skipped = std::min(payload_left_, bytes.size());
            payload_left_ -= skipped;
            bytes.remove_prefix(skipped);
            continue;
        }
        const std::size_t taken = std::min(FRAME_HEAD_SIZE - partial_head_.size(), bytes.size());
        partial_head_.append(bytes.substr(0, taken));
        bytes.remove_prefix(taken);
        if (partial_head_.size() < FRAME_HEAD_SIZE) break;
        const std::string_view head = partial_head_;
        const FrameHead parsed{
            read_big_endian(head.substr(0, 3)), static_cast<std::uint8_t>(head[3]),
            static_cast<std::uint8_t>(head[4]), read_big_endian(head.substr(5, 4)) & 0x7fffffffu};
        heads.push_back(parsed);
        payload_left_ = parsed.length;
        partial_head_.clear();
    }
    return heads;
}

}  // namespace zembra::test::h2
