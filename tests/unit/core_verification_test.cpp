#include "service/hub/core_verification.hpp"

#include <fcntl.h>

#include <fstream>

#include <gtest/gtest.h>

#include "service/hub/core_digest.hpp"
#include "service/hub/core_start.hpp"
#include "support/process.hpp"

namespace zembra::hub {
namespace {

std::string write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

TEST(CoreVerification, AcceptsTheBuiltCoreAndKeepsItsDescriptorOpen) {
    Result<VerifiedCore> core = verify_core();
    ASSERT_TRUE(core.has_value()) << core.error().text();
    EXPECT_EQ(core->executable, *core_path());
    EXPECT_EQ(core->directory + "/MorvikCore", core->executable);
    const int flags = ::fcntl(core->file.get(), F_GETFD);
    ASSERT_NE(flags, -1);
    EXPECT_TRUE(flags & FD_CLOEXEC);
}

TEST(CoreVerification, RefusesWhatDoesNotMatch) {
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {"/tmp/no-such-core", "No such file or directory (os error 2)"},
        {write_file("/tmp/other-core", "other"), "Core executable SHA256 mismatch"},
        {"MorvikCore", "Core executable has no parent directory"},
        {"/tmp", "Is a directory (os error 21)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Result<VerifiedCore> core = verify_core_file(c.path, EXPECTED_CORE_SHA256);
        ASSERT_FALSE(core.has_value());
        EXPECT_EQ(core.error().text(), c.message);
    }
}

TEST(Sha256, MatchesKnownDigestsAndSha256sum) {
    struct Case {
        std::string content;
        std::string digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        const std::string path = write_file("/tmp/hash-input", c.content);
        Result<VerifiedCore> core = verify_core_file(path, c.digest);
        EXPECT_TRUE(core.has_value()) << core.error().text();
    }

    // Many 4096-byte chunks and a partial last one, against a hasher nobody here wrote.
    constexpr std::size_t SIZE = (256u << 20) + 1234;
    std::string content(SIZE, '\0');
    for (std::size_t i = 0; i < SIZE; ++i)
        content[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string path = write_file("/tmp/large-core", content);
    content.clear();
    const test::ProcessResult sum = test::run_process({"sha256sum", path});
    ASSERT_TRUE(sum.exited_with(0)) << sum.err;

    const service::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const auto begin = std::chrono::steady_clock::now();
    Result<std::string> digest = sha256_hex(file.get());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    ASSERT_TRUE(digest.has_value()) << digest.error().text();
    EXPECT_EQ(*digest, sum.out.substr(0, 64));
    std::cout << "[ figure ] SHA-256 of " << (SIZE >> 20)
              << " MiB in 4096-byte reads: " << static_cast<int>(SIZE / took.count() / 1e6)
              << " MB/s\n";
}

}  // namespace
}  // namespace zembra::hub
