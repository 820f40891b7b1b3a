#include "support/install_sandbox.hpp"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zembra::test {
namespace fs = std::filesystem;
namespace {

constexpr const char* PASSWD =
    "root:x:0:0:root:/root:/bin/sh\n"
    "owner:x:1000:1001:owner:/nonexistent:/usr/sbin/nologin\n"
    "rootgroup:x:1002:0:rootgroup:/nonexistent:/usr/sbin/nologin\n";
constexpr const char* GROUP =
    "root:x:0:\n"
    "owners:x:1001:\n";

// Shell builtins only: PATH holds nothing but this script and id.
constexpr const char* FAKE_SYSTEMCTL = R"(#!/bin/sh
root=/run/install-sandbox
for fd in 0 1 2; do
  [ -e /proc/$$/fd/$fd ] || printf 'fd %s closed\n' "$fd" >> "$root/systemctl-descriptors"
done
printf '%s\n' "$*" >> "$root/systemctl-calls"
printf 'systemctl %s (stdout)\n' "$*"
printf 'systemctl %s (stderr)\n' "$*" >&2
if [ -f "$root/systemctl-status/$1" ]; then
  read -r status < "$root/systemctl-status/$1"
  exit "$status"
fi
exit 0
)";

std::string sandbox_path(const std::string& name) {
    return std::string("/run/install-sandbox/") + name;
}

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out) << "cannot write " << path;
    }
    fs::permissions(path, static_cast<fs::perms>(mode));
}

void InstallSandbox::SetUp() {
    fs::create_directories(sandbox_path("bin"));
    fs::create_directories(sandbox_path("systemctl-status"));
    fs::create_directories(HELPER_DIRECTORY);
    // install refuses a helper below any directory that anyone but root can write.
    for (const char* directory : {ROOT, HELPER_DIRECTORY})
        fs::permissions(directory, static_cast<fs::perms>(0755));
    ASSERT_NO_FATAL_FAILURE(write_file(sandbox_path("bin/systemctl"), FAKE_SYSTEMCTL, 0755));
    fs::create_symlink("/usr/bin/id", sandbox_path("bin/id"));
    ASSERT_NO_FATAL_FAILURE(write_file(sandbox_path("passwd"), PASSWD));
    ASSERT_NO_FATAL_FAILURE(write_file(sandbox_path("group"), GROUP));

    const auto mount_over = [this](const char* source, const char* target, const char* type,
                                   unsigned long flags, const char* data) {
        ASSERT_EQ(::mount(source, target, type, flags, data), 0)
            << target << ": " << std::strerror(errno);
        mounted_.push_back(target);
    };
    ASSERT_NO_FATAL_FAILURE(mount_over("tmpfs", "/etc/systemd/system", "tmpfs", 0, "mode=0755"));
    ASSERT_NO_FATAL_FAILURE(
        mount_over(sandbox_path("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr));
    ASSERT_NO_FATAL_FAILURE(
        mount_over(sandbox_path("group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr));
}

void InstallSandbox::TearDown() {
    for (auto target = mounted_.rbegin(); target != mounted_.rend(); ++target)
        EXPECT_EQ(::umount2(target->c_str(), MNT_DETACH), 0) << *target;
    fs::remove_all(ROOT);
}

std::string InstallSandbox::place_helper(const std::string& name) {
    const std::string path = std::string(HELPER_DIRECTORY) + "/" + name;
    fs::copy_file(ZEMBRA_HELPER_EXE, path, fs::copy_options::overwrite_existing);
    fs::permissions(path, static_cast<fs::perms>(0755));
    return path;
}

ProcessResult InstallSandbox::run_helper(const std::string& path,
                                         const std::vector<std::string>& arguments,
                                         const std::vector<std::string>& extra_env,
                                         ProcessOptions options) {
    std::vector<std::string> env = {"PATH=" + sandbox_path("bin")};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    options.env = environment_with(
        env, {"PKEXEC_UID", "SUDO_UID", "MORVIK_HELPER_OWNER_UID", "MORVIK_HELPER_OWNER_GID"});
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_process(argv, options);
}

std::vector<std::string> InstallSandbox::systemctl_calls() const {
    std::vector<std::string> calls;
    std::ifstream log(sandbox_path("systemctl-calls"));
    for (std::string line; std::getline(log, line);)
        calls.push_back(line);
    return calls;
}

void InstallSandbox::make_systemctl_fail(const std::string& verb, int status) const {
    write_file(sandbox_path("systemctl-status/" + verb), std::to_string(status) + "\n");
}

void InstallSandbox::remove_systemctl() const {
    fs::remove(sandbox_path("bin/systemctl"));
}

void InstallSandbox::replace_id(const std::string& body) const {
    fs::remove(sandbox_path("bin/id"));
    write_file(sandbox_path("bin/id"), "#!/bin/sh\n" + body + "\n", 0755);
}

std::string InstallSandbox::systemctl_descriptor_notes() const {
    const std::string path = sandbox_path("systemctl-descriptors");
    return fs::exists(path) ? read_file(path) : "";
}

std::string InstallSandbox::unit_path(const std::string& service) {
    return "/etc/systemd/system/" + service + ".service";
}

std::optional<std::string> InstallSandbox::read_unit(const std::string& service) {
    if (!fs::exists(unit_path(service))) return std::nullopt;
    return read_file(unit_path(service));
}

void InstallSandbox::write_unit(const std::string& bytes, const std::string& service) {
    write_file(unit_path(service), bytes);
}

std::string InstallSandbox::expected_unit(const std::string& exec_start, unsigned uid, unsigned gid,
                                          const std::string& runtime_directory) {
    const std::string u = std::to_string(uid), g = std::to_string(gid);
    return "[Unit]\n"
           "Description=Zembra Helper starts the Morvik Core with the privileges TUN mode needs.\n"
           "After=network-online.target nftables.service iptables.service\n"
           "StartLimitIntervalSec=60\n"
           "StartLimitBurst=5\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" +
           exec_start + "\nGroup=" + g + "\nEnvironment=MORVIK_HELPER_OWNER_UID=" + u +
           "\nEnvironment=MORVIK_HELPER_OWNER_GID=" + g +
           "\nRuntimeDirectory=" + runtime_directory +
           "\nRuntimeDirectoryMode=0755\n"
           "Restart=on-failure\n"
           "RestartSec=5\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::string InstallSandbox::verify_unit(const std::string& service) {
    const ProcessResult verify = run_process({"systemd-analyze", "verify", unit_path(service)});
    std::string complaints;
    std::istringstream output(verify.out + verify.err);
    for (std::string line; std::getline(output, line);) {
        if (line.find(service) != std::string::npos) complaints += line + "\n";
    }
    if (!verify.exited_with(0)) {
        complaints += "systemd-analyze verify ended with status " +
                      std::to_string(verify.wait_status) + ":\n" + verify.out + verify.err;
    }
    return complaints;
}

}  // namespace zembra::test
