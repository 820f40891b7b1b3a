// Verification of the Core executable: a regular file owned by root in a directory owned by
// root, neither writable by anyone else, whose SHA-256 digest is the one fixed at build time.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"
#include "service/linux/file_descriptor.hpp"

namespace zembra::hub {

// A Core executable whose content matched the digest. The Core is run from `file` itself, in
// `directory`, so a path swapped after the hash cannot change what runs.
struct VerifiedCore {
    // The path the Core was opened by; its argv[0].
    std::string executable;
    // The directory that holds it, opened O_PATH; the Core's working directory.
    service::FileDescriptor directory;
    // The descriptor the bytes were hashed through, close-on-exec.
    service::FileDescriptor file;
    // It begins with "#!": an interpreter runs it, reading it through `file`.
    bool script = false;
};

// The Core executable next to the helper's own.
Result<std::string> core_path();
// The Core executable next to `helper`, the helper's own path.
Result<std::string> core_path_next_to(const std::string& helper);

// Blocking: the SHA-256 of what `fd` reads from its current position to the end, as 64
// lower-case hexadecimal characters. Reads are 4096 bytes and not retried, EINTR included.
Result<std::string> sha256_hex(int fd);

// Blocking: opens the directory of `executable`, then the file through it; checks both and
// compares the file's digest with `expected`. Nothing that is not a regular file is ever read.
Result<VerifiedCore> verify_core_file(std::string executable, std::string_view expected);

// Blocking: verify_core_file on core_path() against EXPECTED_CORE_SHA256.
Result<VerifiedCore> verify_core();

}  // namespace zembra::hub
