#include "support/h2_frames.hpp"

#include <nghttp2/nghttp2.h>

#include <memory>

namespace zembra::test::h2 {
namespace {

constexpr std::size_t FRAME_HEAD_SIZE = 9;

std::string big_endian(std::uint32_t value, int bytes) {
    std::string out;
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out += static_cast<char>(value >> shift);
    return out;
}

std::uint32_t read_big_endian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (char byte : bytes)
        value = value << 8 | static_cast<std::uint8_t>(byte);
    return value;
}

// An HPACK integer (RFC 7541, 5.1) in a first byte that keeps `pattern` above `prefix_bits`.
std::string integer(std::uint8_t pattern, int prefix_bits, std::uint32_t value) {
    const std::uint32_t limit = (1u << prefix_bits) - 1;
    if (value < limit) return {static_cast<char>(pattern | value)};
    std::string out = {static_cast<char>(pattern | limit)};
    for (value -= limit; value >= 0x80; value >>= 7)
        out += static_cast<char>(0x80 | (value & 0x7f));
    return out += static_cast<char>(value);
}

std::string string_literal(std::string_view text) {
    return integer(0x00, 7, static_cast<std::uint32_t>(text.size())) + std::string(text);
}

}  // namespace

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream_id,
                  std::string_view payload) {
    return big_endian(static_cast<std::uint32_t>(payload.size()), 3) + static_cast<char>(type) +
           static_cast<char>(flags) + big_endian(stream_id, 4) + std::string(payload);
}

std::string settings(const Settings& values) {
    std::string payload;
    for (const auto& [id, value] : values)
        payload += big_endian(id, 2) + big_endian(value, 4);
    return frame(SETTINGS, 0, 0, payload);
}

std::string client_preface(const Settings& values) {
    return std::string(PREFACE) + settings(values);
}

std::string window_update(std::uint32_t stream_id, std::uint32_t increment) {
    return frame(WINDOW_UPDATE, 0, stream_id, big_endian(increment, 4));
}

std::string wide_open_start() {
    constexpr std::uint32_t MAX_WINDOW = 0x7fffffff;
    return client_preface({{SETTINGS_INITIAL_WINDOW_SIZE, MAX_WINDOW}}) +
           window_update(0, MAX_WINDOW - NGHTTP2_INITIAL_CONNECTION_WINDOW_SIZE);
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

std::string literal_unindexed_name(std::string_view name, std::string_view value) {
    return integer(0x00, 4, 0) + string_literal(name) + string_literal(value);
}

}  // namespace hpack

std::string request_fields(std::string_view path) {
    using namespace hpack;
    return indexed(METHOD_GET) + indexed(SCHEME_HTTP) + literal_unindexed(PATH, path) +
           literal_unindexed(AUTHORITY, "localhost");
}

std::string post_fields(std::string_view path, std::size_t length) {
    using namespace hpack;
    return indexed(METHOD_POST) + indexed(SCHEME_HTTP) + literal_unindexed(PATH, path) +
           literal_unindexed(AUTHORITY, "localhost") +
           literal_unindexed(CONTENT_TYPE, "application/json") +
           literal_unindexed(CONTENT_LENGTH, std::to_string(length));
}

std::vector<Frame> parse_frames(std::string_view bytes) {
    std::vector<Frame> frames;
    while (bytes.size() >= FRAME_HEAD_SIZE) {
        const std::size_t length = read_big_endian(bytes.substr(0, 3));
        if (bytes.size() < FRAME_HEAD_SIZE + length) break;
        frames.push_back({static_cast<std::uint8_t>(bytes[3]), static_cast<std::uint8_t>(bytes[4]),
                          read_big_endian(bytes.substr(5, 4)) & 0x7fffffff,
                          std::string(bytes.substr(FRAME_HEAD_SIZE, length))});
        bytes.remove_prefix(FRAME_HEAD_SIZE + length);
    }
    return frames;
}

std::optional<std::uint32_t> reset_code(const std::vector<Frame>& frames, std::uint32_t stream_id) {
    for (const Frame& f : frames) {
        if (f.type == RST_STREAM && f.stream_id == stream_id) return read_big_endian(f.payload);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> setting(const std::vector<Frame>& frames, std::uint16_t id) {
    for (const Frame& f : frames) {
        if (f.type != SETTINGS || (f.flags & ACK) != 0) continue;
        for (std::size_t at = 0; at + 6 <= f.payload.size(); at += 6) {
            std::string_view entry = std::string_view(f.payload).substr(at, 6);
            if (read_big_endian(entry.substr(0, 2)) == id) return read_big_endian(entry.substr(2));
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<int> response_status(const std::vector<Frame>& frames, std::uint32_t stream_id) {
    nghttp2_hd_inflater* raw = nullptr;
    if (nghttp2_hd_inflate_new(&raw) != 0) return std::nullopt;
    const std::unique_ptr<nghttp2_hd_inflater, void (*)(nghttp2_hd_inflater*)> inflater(
        raw, nghttp2_hd_inflate_del);
    // Every header block goes through the one decoder, in order, as the table requires.
    std::optional<int> status;
    for (const Frame& f : frames) {
        if (f.type != HEADERS) continue;
        auto* in = reinterpret_cast<const std::uint8_t*>(f.payload.data());
        std::size_t left = f.payload.size();
        for (;;) {
            nghttp2_nv field;
            int flags = 0;
            const ssize_t used = nghttp2_hd_inflate_hd2(inflater.get(), &field, &flags, in, left,
                                                        (f.flags & END_HEADERS) != 0);
            if (used < 0) return std::nullopt;
            in += used;
            left -= static_cast<std::size_t>(used);
            if ((flags & NGHTTP2_HD_INFLATE_EMIT) != 0 && f.stream_id == stream_id && !status &&
                std::string_view(reinterpret_cast<const char*>(field.name), field.namelen) ==
                    ":status") {
                status = std::stoi(
                    std::string(reinterpret_cast<const char*>(field.value), field.valuelen));
            }
            if ((flags & NGHTTP2_HD_INFLATE_FINAL) != 0) {
                nghttp2_hd_inflate_end_headers(inflater.get());
                break;
            }
            if (used == 0 && (flags & NGHTTP2_HD_INFLATE_EMIT) == 0) break;
        }
    }
    return status;
}

}  // namespace zembra::test::h2
