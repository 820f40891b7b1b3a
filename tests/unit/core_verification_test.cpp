#include "service/hub/core/verification.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>

#include "core_fixture.hpp"
#include "service/hub/core/core_digest.hpp"
#include "support/process.hpp"

namespace zembra::hub::test {
namespace {

std::string write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string descriptor_target(const service::FileDescriptor& fd) {
    return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd.get()));
}

using CoreVerification = CoreFixture;

TEST_F(CoreVerification, AcceptsTheBuiltCoreAndKeepsItsDescriptorsOpen) {
    Result<VerifiedCore> core = verify_core();
    ASSERT_TRUE(core.has_value()) << core.error().text();
    EXPECT_EQ(core->executable, *core_path());
    EXPECT_EQ(descriptor_target(core->file), *core_path());
    EXPECT_EQ(descriptor_target(core->directory), core_directory());
    for (const service::FileDescriptor* fd : {&core->file, &core->directory}) {
        const int flags = ::fcntl(fd->get(), F_GETFD);
        ASSERT_NE(flags, -1);
        EXPECT_TRUE(flags & FD_CLOEXEC);
    }
}

// Only root may change the Core and the directory that holds it: anyone else could change what
// runs with root's ids. A FIFO or a device is refused before it is read, which could block or
// never end.
TEST_F(CoreVerification, RefusesAnythingButARootOnlyCoreWithTheDigest) {
    std::filesystem::remove_all("/run/cores");
    const std::string root = directory_with("/run/cores", 0, 0755);
    const std::string owners = directory_with(root + "/owners", OWNER_UID, 0755);
    const std::string shared = directory_with(root + "/shared", 0, 0775);
    const std::string sticky = directory_with(root + "/sticky", 0, 01777);
    for (const std::string& directory : {owners, shared, sticky})
        core_copy(directory + "/MorvikCore");
    core_copy(root + "/owned-by-owner", OWNER_UID);
    core_copy(root + "/group-writable", 0, 0775);
    core_copy(root + "/others-writable", 0, 0757);
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0755), 0);
    ASSERT_EQ(::mknod((root + "/zero").c_str(), S_IFCHR | 0755, ::makedev(1, 5)), 0);
    directory_with(root + "/directory", 0, 0755);
    write_file(root + "/other", "other");

    const std::string not_a_root_file =
        " must be a regular file owned by root and not writable by group or others";
    const std::string not_a_root_directory =
        " must be a directory owned by root and not writable by group or others";
    const std::string missing = "No such file or directory (os error 2)";
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {root + "/absent", missing},
        {root + "/absent/MorvikCore", missing},
        {root + "/other", "Core executable SHA256 mismatch"},
        {"MorvikCore", "Core executable has no parent directory"},
        {root + "/directory", root + "/directory" + not_a_root_file},
        {root + "/fifo", root + "/fifo" + not_a_root_file},
        {root + "/zero", root + "/zero" + not_a_root_file},
        {root + "/owned-by-owner", root + "/owned-by-owner" + not_a_root_file},
        {root + "/group-writable", root + "/group-writable" + not_a_root_file},
        {root + "/others-writable", root + "/others-writable" + not_a_root_file},
        {owners + "/MorvikCore", owners + not_a_root_directory},
        {shared + "/MorvikCore", shared + not_a_root_directory},
        {sticky + "/MorvikCore", sticky + not_a_root_directory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Result<VerifiedCore> core = verify_core_file(c.path, EXPECTED_CORE_SHA256);
        ASSERT_FALSE(core.has_value());
        EXPECT_EQ(core.error().text(), c.message);
    }
}

// A link is followed: only root can place one in a directory only root can write.
TEST_F(CoreVerification, AcceptsACopyOrALinkInARootOnlyDirectory) {
    std::filesystem::remove_all("/run/cores");
    const std::string root = directory_with("/run/cores", 0, 0755);
    const std::string copy = core_copy(root + "/MorvikCore");
    std::filesystem::create_symlink(copy, root + "/link");
    for (const std::string& path : {copy, root + "/link"}) {
        SCOPED_TRACE(path);
        Result<VerifiedCore> core = verify_core_file(path, EXPECTED_CORE_SHA256);
        ASSERT_TRUE(core.has_value()) << core.error().text();
        EXPECT_EQ(core->executable, path);
        EXPECT_EQ(descriptor_target(core->file), copy);
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
    const std::string root = directory_with("/run/hash-inputs", 0, 0755);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        const std::string path = write_file(root + "/input", c.content);
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
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
    const zembra::test::ProcessResult sum = zembra::test::run_process({"sha256sum", path});
    ASSERT_TRUE(sum.exited_with(0)) << sum.err;

    const service::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    Result<std::string> digest = sha256_hex(file.get());
    ASSERT_TRUE(digest.has_value()) << digest.error().text();
    EXPECT_EQ(*digest, sum.out.substr(0, 64));
}

}  // namespace
}  // namespace zembra::hub::test
