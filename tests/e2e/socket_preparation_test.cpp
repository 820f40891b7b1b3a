// Service start-up: what the helper does with whatever it finds at its socket path.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "error.hpp"
#include "support/service.hpp"
#include "support/unix_socket.hpp"

namespace zembra::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr const char* SOCKET_PATH = "/run/zembra/helper.sock";
const PeerIds OWNER{TEST_OWNER_UID, TEST_OWNER_GID, {}};
const std::string LOGS_REQUEST =
    "GET /logs HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";

void fresh_runtime_directory(const char* path) {
    fs::remove_all(path);
    ASSERT_EQ(::mkdir(path, 0755), 0) << std::strerror(errno);
}

// A socket file as an earlier run leaves it: bound, then closed.
void leave_stale_socket(const char* path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind_unix(fd, path), 0);
    ::close(fd);
    ASSERT_EQ(::chmod(path, 0777), 0);
}

TEST(SocketPreparation, StaleSocketIsReplacedBySecuredSocketOfOwnersGroup) {
    fresh_runtime_directory("/run/zembra");
    leave_stale_socket(SOCKET_PATH);
    struct stat stale {};
    ASSERT_EQ(::stat(SOCKET_PATH, &stale), 0);

    HelperService helper;
    struct stat fresh {};
    ASSERT_EQ(::stat(SOCKET_PATH, &fresh), 0);
    EXPECT_NE(fresh.st_ino, stale.st_ino);
    EXPECT_TRUE(S_ISSOCK(fresh.st_mode));
    EXPECT_EQ(fresh.st_mode & 07777, 0660u);
    EXPECT_EQ(fresh.st_uid, 0u);
    EXPECT_EQ(fresh.st_gid, TEST_OWNER_GID);
    EXPECT_EQ(connect_as(SOCKET_PATH, OWNER, LOGS_REQUEST), PeerReaction::SentBytes);
}

TEST(SocketPreparation, UnusablePathsFailStartWithTheirReport) {
    struct Case {
        const char* name;
        void (*arrange)();
        std::string report;
    };
    const std::string bind_context =
        std::string("Error: bind ") + SOCKET_PATH + "\n\nCaused by:\n    ";
    const Case cases[] = {
        {"directory at the path", [] { ASSERT_EQ(::mkdir(SOCKET_PATH, 0755), 0); },
         std::string("Error: remove stale ") + SOCKET_PATH + "\n\nCaused by:\n    " +
             os_error_text(EISDIR) + "\n"},
        {"dangling symbolic link at the path",
         [] { ASSERT_EQ(::symlink("/run/zembra/nowhere", SOCKET_PATH), 0); },
         bind_context + os_error_text(EADDRINUSE) + "\n"},
        {"no runtime directory", [] { fs::remove_all("/run/zembra"); },
         bind_context + os_error_text(ENOENT) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_runtime_directory("/run/zembra");
        c.arrange();
        ServiceOptions options;
        options.create_runtime_directory = false;
        options.wait_until_ready = false;
        HelperService helper(options);
        const std::optional<ServiceExit> exit = helper.wait_for_exit(milliseconds(10000));
        ASSERT_TRUE(exit);
        EXPECT_TRUE(exit->exited_with(1)) << exit->wait_status;
        EXPECT_EQ(exit->err, c.report);
        EXPECT_EQ(exit->out, "");
    }
}

TEST(SocketPreparation, PreReleaseIdentityUsesItsOwnDirectoryOnly) {
    fs::remove_all("/run/zembra");
    fs::remove_all("/run/zembra-pre");
    ServiceOptions options;
    options.executable_name = "ZembraPreHelperService";
    HelperService helper(options);

    EXPECT_EQ(helper.socket_path(), "/run/zembra-pre/helper.sock");
    EXPECT_EQ(connect_as(helper.socket_path(), OWNER, LOGS_REQUEST), PeerReaction::SentBytes);
    EXPECT_FALSE(fs::exists("/run/zembra"));
}

}  // namespace
}  // namespace zembra::test
