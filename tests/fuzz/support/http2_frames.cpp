#include "support/http2_frames.hpp"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "ascii.hpp"
#include "support/fuzz_check.hpp"

namespace zembra::fuzz {
namespace {

constexpr std::size_t FRAME_HEAD = 9;

struct Frame {
    std::uint8_t type;
    std::uint8_t flags;
    std::uint32_t stream_id;
    std::string_view payload;
};

struct InflaterDeleter {
    void operator()(nghttp2_hd_inflater* inflater) const { nghttp2_hd_inflate_del(inflater); }
};
using Inflater = std::unique_ptr<nghttp2_hd_inflater, InflaterDeleter>;

std::uint32_t big_endian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (const char c : bytes)
        value = value << 8 | static_cast<unsigned char>(c);
    return value;
}

// A HEADERS frame's header block fragment: its payload less padding and priority.
std::string_view header_fragment(const Frame& frame) {
    std::string_view fragment = frame.payload;
    std::size_t padding = 0;
    if ((frame.flags & NGHTTP2_FLAG_PADDED) != 0) {
        FUZZ_CHECK(!fragment.empty());
        padding = static_cast<unsigned char>(fragment.front());
        fragment.remove_prefix(1);
    }
    if ((frame.flags & NGHTTP2_FLAG_PRIORITY) != 0) {
        FUZZ_CHECK(fragment.size() >= 5);
        fragment.remove_prefix(5);
    }
    FUZZ_CHECK(padding <= fragment.size());
    fragment.remove_suffix(padding);
    return fragment;
}

// A response's header block: it decodes, and its first field is a three-digit :status.
void check_header_block(nghttp2_hd_inflater* inflater, std::string_view block) {
    auto* in = reinterpret_cast<const std::uint8_t*>(block.data());
    std::size_t left = block.size();
    bool first = true;
    for (;;) {
        nghttp2_nv field;
        int flags = 0;
        const ssize_t used = nghttp2_hd_inflate_hd2(inflater, &field, &flags, in, left, 1);
        FUZZ_CHECK(used >= 0 && "a header block that does not decode");
        in += used;
        left -= static_cast<std::size_t>(used);
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) != 0) {
            if (first) {
                const std::string_view name(reinterpret_cast<const char*>(field.name),
                                            field.namelen);
                const std::string_view value(reinterpret_cast<const char*>(field.value),
                                             field.valuelen);
                FUZZ_CHECK(name == ":status" && value.size() == 3 &&
                           std::ranges::all_of(value, is_ascii_digit) && value[0] >= '1');
            }
            first = false;
        }
        if ((flags & NGHTTP2_HD_INFLATE_FINAL) != 0) break;
        FUZZ_CHECK(used > 0 || (flags & NGHTTP2_HD_INFLATE_EMIT) != 0);
    }
    nghttp2_hd_inflate_end_headers(inflater);
    FUZZ_CHECK(!first && "a header block without fields");
}

}  // namespace

void check_http2_frames(std::string_view sent) {
    nghttp2_hd_inflater* raw = nullptr;
    FUZZ_CHECK(nghttp2_hd_inflate_new(&raw) == 0);
    const Inflater inflater(raw);
    bool first = true;
    std::string block;  // a header block still awaiting its CONTINUATION frames
    std::uint32_t block_stream = 0;
    while (sent.size() >= FRAME_HEAD) {
        const std::size_t length = big_endian(sent.substr(0, 3));
        if (sent.size() < FRAME_HEAD + length) break;
        const Frame frame{static_cast<std::uint8_t>(sent[3]), static_cast<std::uint8_t>(sent[4]),
                          big_endian(sent.substr(5, 4)) & 0x7FFFFFFF,
                          sent.substr(FRAME_HEAD, length)};
        sent.remove_prefix(FRAME_HEAD + length);
        if (first) FUZZ_CHECK(frame.type == NGHTTP2_SETTINGS && frame.stream_id == 0);
        first = false;
        if (block_stream != 0) {
            FUZZ_CHECK(frame.type == NGHTTP2_CONTINUATION && frame.stream_id == block_stream);
            block += frame.payload;
        } else if (frame.type == NGHTTP2_HEADERS) {
            FUZZ_CHECK(frame.stream_id % 2 == 1);
            block = header_fragment(frame);
            block_stream = frame.stream_id;
        } else {
            FUZZ_CHECK(frame.type != NGHTTP2_CONTINUATION && frame.type != NGHTTP2_PUSH_PROMISE);
            continue;
        }
        if ((frame.flags & NGHTTP2_FLAG_END_HEADERS) == 0) continue;
        check_header_block(inflater.get(), block);
        block_stream = 0;
    }
}

}  // namespace zembra::fuzz
