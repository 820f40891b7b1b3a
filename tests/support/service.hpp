// Running the real helper executable in service mode for end-to-end tests, and raw connections
// to its socket under other users' ids.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zembra::test {

inline constexpr uid_t TEST_OWNER_UID = 4242;
inline constexpr gid_t TEST_OWNER_GID = 4242;

struct ServiceOptions {
    uid_t owner_uid = TEST_OWNER_UID;
    gid_t owner_gid = TEST_OWNER_GID;
    // The helper always runs as a copy, in a fresh root-owned 0755 directory under /tmp with the
    // Core copied next to it (both 0755); this names the copy ("ZembraPreHelperService" gives
    // the pre-release identity).
    std::optional<std::string> executable_name;
    // The file copied next to that copy as MorvikCore (default: the demo Core).
    std::optional<std::string> core_file;
    // The helper that is copied (default: the one this build made).
    std::optional<std::string> helper_file;
    // Creates /run/<runtime directory> (0755) before the start when missing.
    bool create_runtime_directory = true;
    // Waits until the socket accepts connections; turn off for runs expected to fail at start.
    bool wait_until_ready = true;
    // The helper's soft and hard limits on open descriptors (RLIMIT_NOFILE), when set.
    std::optional<unsigned> descriptor_limit;
    std::optional<unsigned> descriptor_hard_limit;
    // Extra or overriding environment entries ("NAME=value") and names removed from it.
    std::vector<std::string> extra_env;
    std::vector<std::string> removed_env;
};

struct ServiceExit {
    int wait_status;
    std::string out;
    std::string err;
    // From the first signal() to the observed exit (from the start when never signalled).
    std::chrono::steady_clock::duration elapsed;

    bool exited_with(int code) const;
    double seconds() const { return std::chrono::duration<double>(elapsed).count(); }
};

// The helper running as root with the owner's gid as its group, like its unit runs it. Throws
// std::runtime_error (showing the helper's stderr) when it does not come up. On destruction a
// helper still running gets SIGTERM, then SIGKILL after a bound.
class HelperService {
  public:
    explicit HelperService(ServiceOptions options = {});
    ~HelperService();
    HelperService(const HelperService&) = delete;
    HelperService& operator=(const HelperService&) = delete;

    pid_t pid() const { return pid_; }
    // /run/zembra/helper.sock or /run/zembra-pre/helper.sock, from the executable's name.
    const std::string& socket_path() const { return socket_path_; }
    const std::string& executable() const { return executable_; }

    void signal(int signal_number);
    // Waits for the helper to exit; none when it is still running after `timeout`.
    std::optional<ServiceExit> wait_for_exit(std::chrono::milliseconds timeout);

  private:
    void wait_until_ready();
    std::string drain(int fd);

    std::string copy_directory_;
    std::string executable_;
    std::string socket_path_;
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::optional<ServiceExit> exit_;
    std::chrono::steady_clock::time_point started_at_;
    std::optional<std::chrono::steady_clock::time_point> first_signal_at_;
};

// What a raw connection to the socket saw.
enum class PeerReaction {
    ClosedWithoutByte,  // the helper closed the connection before sending anything
    SentBytes,          // something arrived
    StayedOpen,         // nothing arrived and the connection was still open after the wait
    ConnectFailed,      // connect() itself failed (e.g. refused by the kernel, no permission)
};

// The ids a raw client runs under: root when `uid` is unset.
struct PeerIds {
    std::optional<uid_t> uid;
    gid_t gid = 0;
    std::vector<gid_t> supplementary_groups;
};

// Connects to `socket_path` from a child process running under `ids`, sends `payload` if any,
// and watches the connection for up to `wait`.
PeerReaction connect_as(const std::string& socket_path, const PeerIds& ids,
                        const std::string& payload = {},
                        std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

}  // namespace zembra::test
