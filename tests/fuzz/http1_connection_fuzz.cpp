// A whole connection's bytes from a client, as the helper's server receives them: mostly HTTP/1.x,
// and HTTP/2 whenever the bytes open with its preface.
#include "support/fuzz_check.hpp"
#include "support/served_connection.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zembra::fuzz::serve_and_check(zembra::fuzz::text_of(data, size));
    return 0;
}
