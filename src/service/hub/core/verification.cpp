#include "service/hub/core/verification.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "service/hub/core/core_digest.hpp"
#include "service/linux/executable_path.hpp"
#include "service/linux/root_only.hpp"
#include "utf8.hpp"

namespace zembra::hub {
namespace {

constexpr std::string_view CORE_EXECUTABLE_NAME = "MorvikCore";
constexpr std::size_t HASH_CHUNK = 4096;

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string lower_hex(const unsigned char* bytes, unsigned length) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned i = 0; i < length; ++i) {
        text += HEX[bytes[i] >> 4];
        text += HEX[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace

Result<std::string> core_path() {
    Result<std::string> helper = service::current_executable_path();
    if (!helper) return fail(std::move(helper.error()));
    return core_path_next_to(*helper);
}

Result<std::string> core_path_next_to(const std::string& helper) {
    std::optional<std::string> directory = service::parent_directory(helper);
    if (!directory) return fail("helper executable has no parent directory");
    if (!directory->ends_with('/')) *directory += '/';
    return *directory + std::string(CORE_EXECUTABLE_NAME);
}

Result<std::string> sha256_hex(int fd) {
    DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return fail("could not set up SHA-256");
    unsigned char chunk[HASH_CHUNK];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) return fail(Error::last_os());
        if (n == 0) break;
        if (EVP_DigestUpdate(context.get(), chunk, static_cast<std::size_t>(n)) != 1)
            return fail("could not compute SHA-256");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return fail("could not compute SHA-256");
    return lower_hex(digest, length);
}

Result<VerifiedCore> verify_core_file(std::string executable, std::string_view expected) {
    const std::optional<std::string> directory_path = service::parent_directory(executable);
    if (!directory_path) return fail("Core executable has no parent directory");
    service::FileDescriptor directory(
        ::open(directory_path->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory) return fail(Error::last_os());
    struct stat status;
    if (::fstat(directory.get(), &status) != 0) return fail(Error::last_os());
    if (!service::writable_by_root_only(status)) {
        return fail(lossy_utf8(*directory_path) +
                    " must be a directory owned by root and not writable by group or others");
    }
    // Non-blocking, so that opening a FIFO returns at once; its type is refused below, before
    // any read.
    const std::string name = executable.substr(executable.rfind('/') + 1);
    service::FileDescriptor file(
        ::openat(directory.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) return fail(Error::last_os());
    if (::fstat(file.get(), &status) != 0) return fail(Error::last_os());
    if (!S_ISREG(status.st_mode) || !service::writable_by_root_only(status)) {
        return fail(lossy_utf8(executable) +
                    " must be a regular file owned by root and not writable by group or others");
    }
    Result<std::string> digest = sha256_hex(file.get());
    if (!digest) return fail(std::move(digest.error()));
    if (*digest != expected) return fail("Core executable SHA256 mismatch");
    char magic[2] = {};
    const bool script = ::pread(file.get(), magic, sizeof magic, 0) == sizeof magic &&
                        magic[0] == '#' && magic[1] == '!';
    return VerifiedCore{std::move(executable), std::move(directory), std::move(file), script};
}

Result<VerifiedCore> verify_core() {
    Result<std::string> path = core_path();
    if (!path) return fail(std::move(path.error()));
    return verify_core_file(std::move(*path), EXPECTED_CORE_SHA256);
}

}  // namespace zembra::hub
