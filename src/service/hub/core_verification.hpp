// Verification of the Core executable: its SHA-256 digest against the one fixed at build time.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"
#include "service/linux/file_descriptor.hpp"

namespace zembra::hub {

// A Core executable whose content matched the digest. The descriptor it was hashed through stays
// open as long as this record lives; the Core is still executed by its path.
struct VerifiedCore {
    std::string executable;
    std::string directory;
    service::FileDescriptor file;
};

// Blocking: the SHA-256 of what `fd` reads from its current position to the end, as 64
// lower-case hexadecimal characters. Reads are 4096 bytes and not retried, EINTR included.
Result<std::string> sha256_hex(int fd);

// Blocking: opens and hashes `executable` and compares the digest with `expected`.
Result<VerifiedCore> verify_core_file(std::string executable, std::string_view expected);

// Blocking: verify_core_file on core_path() against EXPECTED_CORE_SHA256.
Result<VerifiedCore> verify_core();

}  // namespace zembra::hub
