// A whole HTTP/2 connection's bytes from a client after its preface (which is prepended, so that
// every mutation lands in the frames).
#include <string>

#include "support/fuzz_check.hpp"
#include "support/served_connection.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    bytes.append(zembra::fuzz::text_of(data, size));
    zembra::fuzz::serve_and_check(bytes);
    return 0;
}
