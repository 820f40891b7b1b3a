// The query reader: any bytes decode to pairs of valid UTF-8, decoding inverts percent-encoding
// exactly, and the ping query is exactly one "coreSha256" pair.
#include <optional>
#include <string>
#include <vector>

#include "service/hub/api/form_urlencoded.hpp"
#include "service/hub/api/request_params.hpp"
#include "support/fuzz_check.hpp"
#include "utf8.hpp"

namespace {

using namespace zembra;

std::string percent_encoded(std::string_view text) {
    constexpr std::string_view HEX = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        encoded += '%';
        encoded += HEX[byte >> 4];
        encoded += HEX[byte & 0xF];
    }
    return encoded;
}

std::string form_encoded(const std::vector<hub::FormPair>& pairs) {
    std::string text;
    for (const hub::FormPair& pair : pairs) {
        if (!text.empty()) text += '&';
        text += percent_encoded(pair.name) + '=' + percent_encoded(pair.value);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view query = fuzz::text_of(data, size);
    const std::vector<hub::FormPair> pairs = hub::parse_form_urlencoded(query);
    for (const hub::FormPair& pair : pairs) {
        FUZZ_CHECK(is_valid_utf8(pair.name));
        FUZZ_CHECK(is_valid_utf8(pair.value));
    }
    FUZZ_CHECK(hub::parse_form_urlencoded(form_encoded(pairs)) == pairs);

    const std::optional<hub::PingParams> ping = hub::parse_ping_query(query);
    const bool one_digest = pairs.size() == 1 && pairs.front().name == "coreSha256";
    FUZZ_CHECK(ping.has_value() == one_digest);
    if (ping) FUZZ_CHECK(ping->core_sha256 == pairs.front().value);
    return 0;
}
