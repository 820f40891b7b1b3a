#include "support/process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace zembra::test {
namespace {

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& s : strings)
        pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::to_string(errno));
}

}  // namespace

bool ProcessResult::exited_with(int code) const {
    return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int in[2], out[2], err[2];
    check(
        ::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0,
        "pipe2");
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> env = options.env ? c_strings(*options.env) : std::vector<char*>{};
    const pid_t pid = ::fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (options.gid) {
            const gid_t gid = *options.gid;
            if (::setgroups(1, &gid) != 0 || ::setresgid(gid, gid, gid) != 0) ::_exit(126);
        }
        if (options.uid && ::setresuid(*options.uid, *options.uid, *options.uid) != 0) ::_exit(126);
        if (options.env) environ = env.data();
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // The input is small: a test never writes more than a pipe holds.
    if (!options.stdin_data.empty()) {
        [[maybe_unused]] ssize_t n =
            ::write(in[1], options.stdin_data.data(), options.stdin_data.size());
    }
    ::close(in[1]);

    ProcessResult result{};
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            check(false, "poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    while (::waitpid(pid, &result.wait_status, 0) < 0)
        check(errno == EINTR, "waitpid");
    return result;
}

std::vector<std::string> environment_with(const std::vector<std::string>& extra,
                                          const std::vector<std::string>& removed) {
    const auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool drop = false;
        for (const std::string& r : removed)
            drop = drop || name_of(entry) == r;
        for (const std::string& x : extra)
            drop = drop || name_of(entry) == name_of(x);
        if (!drop) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

pid_t fork_child(ChildBehaviour behaviour) {
    int ready[2];
    check(::pipe2(ready, O_CLOEXEC) == 0, "pipe2");
    const pid_t pid = ::fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        if (behaviour == ChildBehaviour::AlreadyExited) ::_exit(7);
        if (behaviour == ChildBehaviour::IgnoresTerm) ::signal(SIGTERM, SIG_IGN);
        [[maybe_unused]] const ssize_t n = ::write(ready[1], "r", 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    if (behaviour == ChildBehaviour::AlreadyExited) {
        siginfo_t info;
        check(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0, "waitid");
    } else {
        char byte;
        check(::read(ready[0], &byte, 1) == 1, "read");
    }
    ::close(ready[0]);
    return pid;
}

}  // namespace zembra::test
