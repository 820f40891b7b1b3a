// A place where the real helper can run `install` and `uninstall` as root without touching the
// machine: in the test's private mount namespace, a tmpfs over /etc/systemd/system, small
// passwd/group files bind-mounted over the real ones (so the real `id` answers), a recording
// fake `systemctl` first on PATH, and copies of the helper below directories (/run's private
// tmpfs, then ROOT, then HELPER_DIRECTORY) that only root can write.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace zembra::test {

// Accounts in the sandbox's passwd: OWNER_UID with primary group OWNER_GID, ROOT_GROUP_UID
// with primary group 0. NO_ACCOUNT_UID has no account.
inline constexpr unsigned OWNER_UID = 1000;
inline constexpr unsigned OWNER_GID = 1001;
inline constexpr unsigned ROOT_GROUP_UID = 1002;
inline constexpr unsigned NO_ACCOUNT_UID = 4242;

class InstallSandbox : public testing::Test {
  protected:
    static constexpr const char* ROOT = "/run/install-sandbox";
    static constexpr const char* HELPER_DIRECTORY = "/run/install-sandbox/helper";

    void SetUp() override;
    void TearDown() override;

    // Copies the built helper into HELPER_DIRECTORY as `name` (root-owned, 0755); its path.
    std::string place_helper(const std::string& name = "ZembraHelperService");

    // Runs the helper at `path` with `arguments`; PATH holds only the fake systemctl and id,
    // and none of the installer's or the service's variables are set except `extra_env`.
    ProcessResult run_helper(const std::string& path, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& extra_env = {},
                             ProcessOptions options = {});

    // The argument lists systemctl was called with, one "a b c" entry per call.
    std::vector<std::string> systemctl_calls() const;
    // Makes every later `systemctl <verb> ...` exit with `status`.
    void make_systemctl_fail(const std::string& verb, int status) const;
    // Takes systemctl off PATH.
    void remove_systemctl() const;
    // Puts a shell script with `body` on PATH in place of the real id.
    void replace_id(const std::string& body) const;
    // What the fake systemctl noticed about its standard descriptors (empty when all were open).
    std::string systemctl_descriptor_notes() const;

    static std::string unit_path(const std::string& service = "zembra-helper");
    // The unit file's bytes, or none when it does not exist.
    static std::optional<std::string> read_unit(const std::string& service = "zembra-helper");
    static void write_unit(const std::string& bytes, const std::string& service = "zembra-helper");

    // The unit the installer must write, spelled out independently of the code under test.
    static std::string expected_unit(const std::string& exec_start, unsigned uid, unsigned gid,
                                     const std::string& runtime_directory = "zembra");

    // Every complaint `systemd-analyze verify` has about the unit (empty when it has none).
    static std::string verify_unit(const std::string& service = "zembra-helper");

  private:
    std::vector<std::string> mounted_;
};

// The whole contents of a file; fails the test when it cannot be read.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes, unsigned mode = 0644);

}  // namespace zembra::test
