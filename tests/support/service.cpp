#include "support/service.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/process.hpp"

#include "service/identity.hpp"
#include "support/unix_socket.hpp"

namespace zembra::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds READY_TIMEOUT{10000};
constexpr milliseconds POLL_INTERVAL{5};
constexpr milliseconds TERMINATE_BOUND{10000};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Listening and already secured: the owner's clients are let in only once the mode is 0660,
// which the helper sets just after it starts listening.
bool ready_for_owner(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || (status.st_mode & 07777) != 0660) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    const bool connected = connect_unix(fd, path) == 0;
    ::close(fd);
    return connected;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

void copy_executable(const std::string& from, const fs::path& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms(0755));
}

}  // namespace

bool ServiceExit::exited_with(int code) const {
    return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
}

HelperService::HelperService(ServiceOptions options) {
    // The helper starts only a Core that root alone can change, in a directory root alone can
    // change: the copies get those modes whatever the build's umask was.
    char directory[] = "/tmp/zembra-helper-XXXXXX";
    if (::mkdtemp(directory) == nullptr) fail("mkdtemp");
    copy_directory_ = directory;
    fs::permissions(copy_directory_, fs::perms(0755));
    executable_ = copy_directory_ + "/" +
                  options.executable_name.value_or(fs::path(ZEMBRA_HELPER_EXE).filename());
    copy_executable(options.helper_file.value_or(ZEMBRA_HELPER_EXE), executable_);
    copy_executable(options.core_file.value_or(ZEMBRA_FAKE_CORE_EXE),
                    fs::path(copy_directory_) / "MorvikCore");
    const std::string runtime_directory =
        service::is_pre_release_file_name(fs::path(executable_).filename().string())
            ? "/run/zembra-pre"
            : "/run/zembra";
    socket_path_ = runtime_directory + "/helper.sock";
    if (options.create_runtime_directory) {
        if (::mkdir(runtime_directory.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir");
        // As systemd makes it, whatever the umask of the test.
        if (::chmod(runtime_directory.c_str(), 0755) != 0) fail("chmod");
    }

    std::vector<std::string> extra = {
        "MORVIK_HELPER_OWNER_UID=" + std::to_string(options.owner_uid),
        "MORVIK_HELPER_OWNER_GID=" + std::to_string(options.owner_gid)};
    extra.insert(extra.end(), options.extra_env.begin(), options.extra_env.end());
    std::vector<std::string> env = environment_with(extra, options.removed_env);
    std::vector<std::string> argv = {executable_};
    std::vector<char*> c_env = c_strings(env);
    std::vector<char*> c_argv = c_strings(argv);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) fail("pipe2");
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0) fail("open /dev/null");
    const gid_t gid = options.owner_gid;
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0) fail("getrlimit");
    if (options.descriptor_limit) descriptors.rlim_cur = *options.descriptor_limit;
    if (options.descriptor_hard_limit) descriptors.rlim_max = *options.descriptor_hard_limit;

    started_at_ = Clock::now();
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        if (::dup2(null_fd, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0) ::_exit(126);
        if (::setgroups(1, &gid) != 0 || ::setresgid(gid, gid, gid) != 0) ::_exit(126);
        if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) ::_exit(126);
        ::execve(c_argv[0], c_argv.data(), c_env.data());
        ::_exit(127);
    }
    ::close(null_fd);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);

    if (options.wait_until_ready) wait_until_ready();
}

HelperService::~HelperService() {
    if (!exit_ && pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!wait_for_exit(TERMINATE_BOUND)) {
            ::kill(pid_, SIGKILL);
            wait_for_exit(TERMINATE_BOUND);
        }
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
    if (!copy_directory_.empty()) {
        std::error_code ignored;
        fs::remove_all(copy_directory_, ignored);
    }
}

void HelperService::wait_until_ready() {
    const Clock::time_point deadline = Clock::now() + READY_TIMEOUT;
    while (Clock::now() < deadline) {
        if (wait_for_exit(milliseconds(0))) {
            throw std::runtime_error("the helper exited before serving (" +
                                     std::to_string(exit_->wait_status) +
                                     " wait status), its stderr: " + exit_->err);
        }
        if (ready_for_owner(socket_path_)) return;
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    throw std::runtime_error("the helper did not accept connections on " + socket_path_ +
                             " within 10 s; its stderr so far: " + drain(err_fd_));
}

void HelperService::signal(int signal_number) {
    if (!first_signal_at_) first_signal_at_ = Clock::now();
    if (!exit_ && ::kill(pid_, signal_number) != 0) fail("kill");
}

std::optional<ServiceExit> HelperService::wait_for_exit(milliseconds timeout) {
    if (exit_) return exit_;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
        if (reaped == pid_) {
            const Clock::time_point now = Clock::now();
            exit_ = ServiceExit{status, drain(out_fd_), drain(err_fd_),
                                now - first_signal_at_.value_or(started_at_)};
            return exit_;
        }
        if (reaped < 0 && errno != EINTR) fail("waitpid");
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
}

std::string HelperService::drain(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return text;
        }
    }
}

PeerReaction connect_as(const std::string& socket_path, const PeerIds& ids,
                        const std::string& payload, milliseconds wait) {
    enum : int { closed = 0, sent = 1, stayed_open = 2, connect_failed = 3, setup_failed = 4 };
    // Built before the fork: the child may only make async-signal-safe calls.
    const sockaddr_un address = unix_address(socket_path);
    const int wait_ms = static_cast<int>(wait.count());
    std::vector<gid_t> groups = ids.supplementary_groups;
    groups.insert(groups.begin(), ids.gid);
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        if (ids.uid && (::setgroups(groups.size(), groups.data()) != 0 ||
                        ::setresgid(ids.gid, ids.gid, ids.gid) != 0 ||
                        ::setresuid(*ids.uid, *ids.uid, *ids.uid) != 0))
            ::_exit(setup_failed);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) ::_exit(setup_failed);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            ::_exit(connect_failed);
        if (!payload.empty() && ::send(fd, payload.data(), payload.size(), MSG_NOSIGNAL) < 0)
            ::_exit(closed);
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, wait_ms) == 0) ::_exit(stayed_open);
        char byte;
        // A reset counts as a close: the helper sent nothing either way.
        ::_exit(::read(fd, &byte, 1) > 0 ? sent : closed);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) fail("waitpid");
    if (!WIFEXITED(status)) throw std::runtime_error("the connecting child died");
    switch (WEXITSTATUS(status)) {
        case closed:
            return PeerReaction::ClosedWithoutByte;
        case sent:
            return PeerReaction::SentBytes;
        case stayed_open:
            return PeerReaction::StayedOpen;
        case connect_failed:
            return PeerReaction::ConnectFailed;
        default:
            throw std::runtime_error("the connecting child could not take the ids");
    }
}

}  // namespace zembra::test
