#include "service/hub/api/form_urlencoded.hpp"

#include "utf8.hpp"

namespace zembra::hub {
namespace {

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A "%" without two hex digits after it stays as it is.
std::string decode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            bytes.push_back(' ');
            continue;
        }
        if (c == '%' && i + 2 < text.size()) {
            const int high = hex_digit_value(text[i + 1]);
            const int low = hex_digit_value(text[i + 2]);
            if (high >= 0 && low >= 0) {
                bytes.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        bytes.push_back(c);
    }
    return lossy_utf8(bytes);
}

}  // namespace

std::vector<FormPair> parse_form_urlencoded(std::string_view text) {
    std::vector<FormPair> pairs;
    while (!text.empty()) {
        const std::size_t amp = text.find('&');
        const std::string_view piece = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (piece.empty()) continue;
        const std::size_t equals = piece.find('=');
        if (equals == std::string_view::npos) {
            pairs.push_back({decode(piece), {}});
        } else {
            pairs.push_back({decode(piece.substr(0, equals)), decode(piece.substr(equals + 1))});
        }
    }
    return pairs;
}

}  // namespace zembra::hub
