#include "service/linux/install.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "support/owned_directory.hpp"

namespace zembra::service {
namespace {

namespace fs = std::filesystem;

const std::string NOT_ROOTS_ALONE =
    " must be owned by root and not writable by group or others to run as a service; install "
    "the package instead of running an unpacked bundle";

// A private, empty /etc/systemd/system (the test runs in its own mount namespace).
class UnitDirectory : public testing::Test {
  protected:
    static constexpr const char* UNIT = "/etc/systemd/system/zembra-helper.service";

    void SetUp() override {
        ASSERT_EQ(::mount("tmpfs", "/etc/systemd/system", "tmpfs", 0, "mode=0755"), 0)
            << std::strerror(errno);
    }
    void TearDown() override { EXPECT_EQ(::umount2("/etc/systemd/system", MNT_DETACH), 0); }

    static void write_unit(const std::string& bytes) {
        std::ofstream(UNIT, std::ios::binary | std::ios::trunc) << bytes;
    }
};

TEST_F(UnitDirectory, UnitIsFreeUnlessItNamesAnotherUid) {
    struct Case {
        const char* name;
        std::optional<std::string> unit;
        const char* refused_for;  // nullptr: free for uid 1000
    };
    const Case cases[] = {
        {"no unit", std::nullopt, nullptr},
        {"same uid", "[Service]\nEnvironment=MORVIK_HELPER_OWNER_UID=1000\n", nullptr},
        {"other uid", "[Service]\nEnvironment=MORVIK_HELPER_OWNER_UID=2000\n", "2000"},
        {"CRLF lines", "[Service]\r\nEnvironment=MORVIK_HELPER_OWNER_UID=2000\r\n", "2000"},
        {"last line without LF", "[Service]\nEnvironment=MORVIK_HELPER_OWNER_UID=2000", "2000"},
        {"blank and sign around the value", "Environment=MORVIK_HELPER_OWNER_UID= +02000\t\n",
         "2000"},
        {"uid 0 is a stored uid", "Environment=MORVIK_HELPER_OWNER_UID=0\n", "0"},
        {"first line decides",
         "Environment=MORVIK_HELPER_OWNER_UID=2000\n"
         "Environment=MORVIK_HELPER_OWNER_UID=1000\n",
         "2000"},
        {"later line is ignored",
         "Environment=MORVIK_HELPER_OWNER_UID=1000\n"
         "Environment=MORVIK_HELPER_OWNER_UID=2000\n",
         nullptr},
        {"indented line", " Environment=MORVIK_HELPER_OWNER_UID=2000\n", nullptr},
        {"value that does not parse", "Environment=MORVIK_HELPER_OWNER_UID=abc\n", nullptr},
        {"too large", "Environment=MORVIK_HELPER_OWNER_UID=4294967296\n", nullptr},
        {"other variable",
         "Environment=MORVIK_HELPER_OWNER_UIDX=2000\n"
         "Environment=MORVIK_HELPER_OWNER_GID=2000\n",
         nullptr},
        {"empty unit", "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(UNIT);
        if (c.unit) write_unit(*c.unit);
        const Result<> free = ensure_unit_is_free_for(1000);
        if (c.refused_for == nullptr) {
            EXPECT_TRUE(free) << free.error().text();
            continue;
        }
        ASSERT_FALSE(free);
        EXPECT_EQ(free.error().text(), std::string("the Helper is already installed for UID ") +
                                           c.refused_for +
                                           "; run `ZembraHelperService uninstall` as that user "
                                           "first");
        EXPECT_EQ(free.error().causes(), std::vector<std::string>{});
    }
}

TEST_F(UnitDirectory, UnreadableUnitIsAnError) {
    struct Case {
        const char* name;
        void (*make)();
        const char* cause;
    };
    const Case cases[] = {
        {"not UTF-8", [] { write_unit("[Unit]\nDescription=caf\xe9\n"); },
         "invalid UTF-8 sequence at byte 22"},
        {"a directory", [] { fs::create_directory(UNIT); }, "Is a directory (os error 21)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(UNIT);
        c.make();
        const Result<> free = ensure_unit_is_free_for(1000);
        ASSERT_FALSE(free);
        EXPECT_EQ(free.error().text(), std::string("read ") + UNIT);
        EXPECT_EQ(free.error().causes(), std::vector<std::string>{c.cause});
    }
}

TEST(ExecutableOwnership, RootOwnedAndNotWritableByOthers) {
    struct Case {
        const char* name;
        uid_t owner;
        gid_t group;
        mode_t mode;
        bool accepted;
    };
    constexpr Case cases[] = {
        {"root 0755", 0, 0, 0755, true},
        {"root 0700", 0, 0, 0700, true},
        {"setuid and sticky bits do not matter", 0, 0, 05755, true},
        {"group owner does not matter", 0, 1000, 0755, true},
        {"user-owned", 1000, 0, 0755, false},
        {"group-writable", 0, 0, 0775, false},
        {"writable by others", 0, 0, 0757, false},
    };
    const std::string path = "/tmp/ownership-probe";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(path).put('x');
        ASSERT_EQ(::chown(path.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        const Result<> checked = check_executable_ownership(path);
        if (c.accepted) {
            EXPECT_TRUE(checked) << checked.error().text();
        } else {
            ASSERT_FALSE(checked);
            EXPECT_EQ(checked.error().text(), path + NOT_ROOTS_ALONE);
        }
        fs::remove(path);
    }
}

TEST(ExecutableOwnership, FollowsSymbolicLinksAndReportsMissingFiles) {
    const std::string target = "/tmp/ownership-target", link = "/tmp/ownership-link";
    std::ofstream(target).put('x');
    ASSERT_EQ(::chown(target.c_str(), 1000, 1000), 0);
    fs::create_symlink(target, link);
    const Result<> through_link = check_executable_ownership(link);
    ASSERT_FALSE(through_link);
    EXPECT_TRUE(through_link.error().text().starts_with(link + " must be owned by root"));

    fs::remove(target);
    const Result<> dangling = check_executable_ownership(link);
    ASSERT_FALSE(dangling);
    EXPECT_EQ(dangling.error().text(), "inspect " + link);
    EXPECT_EQ(dangling.error().causes(),
              std::vector<std::string>{"No such file or directory (os error 2)"});
    fs::remove(link);
}

// /run is this test's private tmpfs, root's and 0755; /tmp is its private 1777 tmpfs.
TEST(DirectoryChain, EveryDirectoryFromTheRootDownIsRootsAlone) {
    using test::directory_with;
    fs::remove_all("/run/chain");
    for (const char* path :
         {"/run/chain/root/deeper", "/run/chain/owners/root", "/run/chain/root/open/root",
          "/run/chain/sticky/root", "/run/chain", "/run/chain/root"})
        directory_with(path, 0, 0755);
    directory_with("/run/chain/owners", 1000, 0755);
    directory_with("/run/chain/root/shared", 0, 0775);
    directory_with("/run/chain/root/open", 0, 0757);
    directory_with("/run/chain/sticky", 0, 01777);
    fs::create_symlink("/run/chain/root", "/run/chain/link");

    struct Case {
        const char* directory;
        const char* refused;  // the directory named, or nullptr: accepted
        const char* cause;    // of an "inspect" failure, or nullptr
    };
    constexpr Case cases[] = {
        {"/run/chain/root/deeper", nullptr, nullptr},
        {"//run/chain//root/deeper/", nullptr, nullptr},
        {"/", nullptr, nullptr},
        {"/run/chain/owners/root", "/run/chain/owners", nullptr},
        {"/run/chain/root/shared", "/run/chain/root/shared", nullptr},
        {"/run/chain/root/open/root", "/run/chain/root/open", nullptr},
        {"/run/chain/sticky/root", "/run/chain/sticky", nullptr},
        {"/tmp", "/tmp", nullptr},
        {"/run/chain/link/deeper", "/run/chain/link", "Not a directory (os error 20)"},
        {"/run/chain/absent/deeper", "/run/chain/absent", "No such file or directory (os error 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directory);
        const Result<> checked = check_directory_chain(c.directory);
        if (c.refused == nullptr) {
            EXPECT_TRUE(checked) << checked.error().text();
        } else if (c.cause != nullptr) {
            ASSERT_FALSE(checked);
            EXPECT_EQ(checked.error().text(), std::string("inspect ") + c.refused);
            EXPECT_EQ(checked.error().causes(), std::vector<std::string>{c.cause});
        } else {
            ASSERT_FALSE(checked);
            EXPECT_EQ(checked.error().text(), c.refused + NOT_ROOTS_ALONE);
        }
    }
}

}  // namespace
}  // namespace zembra::service
