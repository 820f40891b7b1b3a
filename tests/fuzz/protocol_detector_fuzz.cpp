// The protocol decision on a connection's first bytes: taken only on the full client preface or
// a byte that departs from it, and never changed by the bytes that follow.
#include <algorithm>

#include "http/protocol_detector.hpp"
#include "support/fuzz_check.hpp"

using zembra::http::detect_protocol;
using zembra::http::Protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::string_view PREFACE = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    const std::string_view bytes = zembra::fuzz::text_of(data, size);
    const Protocol whole = detect_protocol(bytes);
    FUZZ_CHECK((whole == Protocol::Http2) == bytes.starts_with(PREFACE));
    FUZZ_CHECK((whole == Protocol::Undecided) ==
               (bytes.size() < PREFACE.size() && PREFACE.starts_with(bytes)));
    for (std::size_t n = 0; n <= std::min(size, PREFACE.size()); ++n) {
        const Protocol early = detect_protocol(bytes.substr(0, n));
        FUZZ_CHECK(early == Protocol::Undecided || early == whole);
    }
    return 0;
}
