#include "utf8.hpp"

namespace zembra {
namespace {

// Length of the longest prefix of `bytes` that is a valid sequence or the start of one:
// `complete` tells whether it is a whole character.
struct Prefix {
    std::size_t length;
    bool complete;
};

Prefix valid_prefix(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {1, true};
    std::size_t need;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {0, false};
    }
    std::size_t i = 1;
    for (; i < need && i < bytes.size(); ++i) {
        const unsigned char b = byte(i);
        const unsigned char lo = i == 1 ? low : 0x80, hi = i == 1 ? high : 0xBF;
        if (b < lo || b > hi) return {i, false};
    }
    return {i, i == need};
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view bytes) {
    if (bytes.empty()) return 0;
    const Prefix prefix = valid_prefix(bytes);
    return prefix.complete ? prefix.length : 0;
}

bool is_valid_utf8(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t n = utf8_sequence_length(bytes);
        if (n == 0) return false;
        bytes.remove_prefix(n);
    }
    return true;
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const Prefix prefix = valid_prefix(bytes);
        if (prefix.complete) {
            out.append(bytes.substr(0, prefix.length));
        } else {
            out.append("\xEF\xBF\xBD");
        }
        bytes.remove_prefix(prefix.length == 0 ? 1 : prefix.length);
    }
    return out;
}

}  // namespace zembra
