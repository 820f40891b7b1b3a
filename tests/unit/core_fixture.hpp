// A fixture for tests that start real Cores (the fake MorvikCore next to the test binary): the
// Core copied into a place only root can write, owner ids in the environment, owner sockets under
// the private /tmp, a window on the log buffer, and a check after every test that no Core, child,
// zombie or descriptor is left behind.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/hub/api/logs_request.hpp"
#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/managed_core.hpp"
#include "service/hub/core/start.hpp"
#include "service/hub/core/verification.hpp"
#include "service/linux/executable_path.hpp"
#include "service/linux/owner.hpp"
#include "support/descriptors.hpp"
#include "support/eventually.hpp"
#include "support/owned_directory.hpp"
#include "support/unix_socket.hpp"

namespace zembra::hub::test {

using namespace std::chrono_literals;

inline constexpr uid_t OWNER_UID = 4242;
inline constexpr gid_t OWNER_GID = 4343;
inline constexpr const char* SESSION_A = "0123456789abcdef0123456789abcdef";
inline constexpr const char* SESSION_B = "fedcba9876543210fedcba9876543210";

using zembra::test::open_descriptors;

using zembra::test::directory_with;
using zembra::test::eventually;

// True while `pid` names a process that has not been reaped.
inline bool process_exists(pid_t pid) {
    return ::kill(pid, 0) == 0;
}

inline std::string core_directory() {
    const std::string core = *core_path();
    return core.substr(0, core.rfind('/'));
}

// A record of a child that was reaped behind the slot's back: signalling it fails, and so does
// its status query (ECHILD), so every release of it fails.
inline ManagedCore reaped_core_record(const std::string& session) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    service::FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    int status;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return ManagedCore{session, service::ChildProcess(pid, std::move(pidfd))};
}

// A failed Core operation as its kind and text, so that a mismatch shows both.
struct Refused {
    CoreErrorKind kind;
    std::string text;
    bool operator==(const Refused&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Refused& refused) {
        return out << "kind " << static_cast<int>(refused.kind) << ": " << refused.text;
    }
};

// How `result` failed, or none when it did not.
template <class T>
std::optional<Refused> refusal(const std::expected<T, CoreError>& result) {
    if (result) return std::nullopt;
    return Refused{result.error().kind, result.error().error.text()};
}

// The pid of a successful start; 0 after reporting how it failed.
inline pid_t started_pid(const std::expected<StartedCore, CoreError>& started) {
    if (!started) {
        ADD_FAILURE() << "start failed: " << started.error().error.text();
        return 0;
    }
    return started->pid;
}

inline constexpr const char* NO_CHILD_TEXT = "No child processes (os error 10)";

// A copy of the Core at `path` with exactly this owner and mode.
inline std::string core_copy(const std::string& path, uid_t owner = 0, mode_t mode = 0755) {
    std::filesystem::copy_file(*core_path(), path,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(::chown(path.c_str(), owner, 0), 0) << path;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
    return path;
}

class CoreFixture : public testing::Test {
  protected:
    void SetUp() override {
        ::setenv(service::OWNER_UID_VARIABLE, std::to_string(OWNER_UID).c_str(), 1);
        ::setenv(service::OWNER_GID_VARIABLE, std::to_string(OWNER_GID).c_str(), 1);
        SHUTTING_DOWN = false;
        ASSERT_NO_FATAL_FAILURE(place_core());
        descriptors_before_ = open_descriptors();
        static int tests = 0;
        marker_ = "-- test " + std::to_string(++tests) + " --";
        log_message(marker_);
    }

    void TearDown() override {
        {
            auto slot = service::lock_surviving_poison(MANAGED_CORE);
            EXPECT_TRUE(release_managed_core(*slot).has_value());
        }
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
            EXPECT_EQ(::umount2(it->c_str(), MNT_DETACH), 0) << *it;
        mounts_.clear();
        // Readers close their pipe ends as soon as their Core is gone.
        EXPECT_TRUE(eventually([&] { return open_descriptors() == descriptors_before_; }))
            << "a descriptor was leaked";
        int status;
        errno = 0;
        EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "a child or zombie is left";
        EXPECT_EQ(errno, ECHILD);
    }

    // A socket at the Core address form "/tmp/MorvikSocket_<digits>.sock", owned by `uid`, for
    // a Core in its default mode.
    std::string owner_socket(const std::string& digits = "1", uid_t uid = OWNER_UID) {
        const std::string path = "/tmp/MorvikSocket_" + digits + ".sock";
        ::unlink(path.c_str());
        ::unlink((path + ".mode").c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(zembra::test::bind_unix(fd, path), 0);
        ::close(fd);
        EXPECT_EQ(::chown(path.c_str(), uid, OWNER_GID), 0);
        return path;
    }

    // What the fake Core started for `address` does (see tests/fake_core/main.cpp).
    static void set_mode(const std::string& address, const std::string& commands) {
        std::ofstream(address + ".mode") << commands;
    }

    // Mounts `source` over `target` for the rest of this test (this process's namespace only).
    void mount_over(const std::string& source, const std::string& target,
                    const char* type = nullptr, const char* options = nullptr) {
        const unsigned long flags = type ? 0 : MS_BIND;
        ASSERT_EQ(::mount(source.c_str(), target.c_str(), type, flags, options), 0)
            << std::strerror(errno);
        mounts_.push_back(target);
    }

    // The log lines written since this test began.
    std::vector<std::string> log_lines() const {
        const std::string body(get_logs().body.view());
        std::vector<std::string> lines;
        bool after_marker = false;
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = body.find('\n', start);
            const std::string line = body.substr(start, end - start);
            if (after_marker) lines.push_back(line);
            if (line == marker_) {
                after_marker = true;
                lines.clear();
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return lines;
    }

    bool logged(const std::string& line) const {
        for (const std::string& l : log_lines())
            if (l == line) return true;
        return false;
    }

    bool wait_for_log(const std::string& line, std::chrono::milliseconds timeout = 3s) const {
        return eventually([&] { return logged(line); }, timeout);
    }

    // The pid of the Core in the slot, or 0.
    static pid_t slot_pid() {
        auto slot = service::lock_surviving_poison(MANAGED_CORE);
        return *slot ? (*slot)->child.pid() : 0;
    }

    static std::expected<StartedCore, CoreError> start(const std::string& address,
                                                       const std::string& session) {
        return start_core(StartParams{address, session});
    }

  private:
    // Covers core_path()'s directory with a root-owned 0755 tmpfs holding a 0755 copy of the
    // Core, so that the Core's checks do not depend on the build's umask and a test may change
    // both freely. The test binary is bound back in, for sanitizer symbolizers.
    void place_core() {
        const std::string core = *core_path();
        const std::string self = *service::current_executable_path();
        // Opened by path in this namespace: a bind mount's source must belong to it.
        const service::FileDescriptor built_core(::open(core.c_str(), O_RDONLY | O_CLOEXEC));
        const service::FileDescriptor binary(::open(self.c_str(), O_PATH | O_CLOEXEC));
        ASSERT_TRUE(built_core && binary) << std::strerror(errno);
        ASSERT_NO_FATAL_FAILURE(mount_over("tmpfs", core_directory(), "tmpfs", "mode=0755"));
        std::filesystem::copy_file(descriptor_path(built_core), core);
        std::filesystem::permissions(core, std::filesystem::perms(0755));
        std::ofstream{self};
        ASSERT_NO_FATAL_FAILURE(mount_over(descriptor_path(binary), self));
    }

    static std::string descriptor_path(const service::FileDescriptor& fd) {
        return "/proc/self/fd/" + std::to_string(fd.get());
    }

    std::set<std::string> descriptors_before_;
    std::vector<std::string> mounts_;
    std::string marker_;
};

}  // namespace zembra::hub::test
