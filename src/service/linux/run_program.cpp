#include "service/linux/run_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "service/linux/file_descriptor.hpp"
#include "service/linux/process.hpp"

extern char** environ;

namespace zembra::service {
namespace {

// A posix_spawn settings object, destroyed with its owner.
template <class T, int (*init)(T*), int (*destroy)(T*)>
class SpawnSettings {
  public:
    SpawnSettings() { init(&settings_); }
    ~SpawnSettings() { destroy(&settings_); }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
    T* get() { return &settings_; }

  private:
    T settings_;
};

using SpawnFileActions = SpawnSettings<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                       ::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnSettings<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// One captured output stream: the pipe's read end stays here, the write end goes to the child.
struct Capture {
    FileDescriptor read;
    FileDescriptor write;
    std::string* sink = nullptr;
};

// Sets up `fd` in the child as `mode` says. The /dev/null open and the dup2 happen in the child,
// so neither leaves a descriptor behind here; the pipe ends themselves are close-on-exec.
int plan_output(SpawnFileActions& actions, int fd, ProgramOutput mode, Capture& capture,
                std::string& sink) {
    switch (mode) {
        case ProgramOutput::Inherit:
            return 0;
        case ProgramOutput::Discard:
            return ::posix_spawn_file_actions_addopen(actions.get(), fd, "/dev/null", O_WRONLY, 0);
        case ProgramOutput::Capture: {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0) return errno;
            capture.read.reset(ends[0]);
            capture.write.reset(ends[1]);
            capture.sink = &sink;
            return ::posix_spawn_file_actions_adddup2(actions.get(), ends[1], fd);
        }
    }
    return EINVAL;
}

int plan_attributes(SpawnAttributes& attributes) {
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    if (const int e = ::posix_spawnattr_setsigdefault(attributes.get(), &all)) return e;
    if (const int e = ::posix_spawnattr_setsigmask(attributes.get(), &none)) return e;
    return ::posix_spawnattr_setflags(attributes.get(),
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

// Reads every capture to its end. Reading both at once keeps a child that fills one pipe while
// we wait on the other from blocking forever.
Result<> drain(std::array<Capture, 2>& captures) {
    for (;;) {
        std::array<pollfd, 2> fds{};
        nfds_t open = 0;
        std::array<Capture*, 2> polled{};
        for (Capture& capture : captures) {
            if (!capture.read) continue;
            polled[open] = &capture;
            fds[open++] = {capture.read.get(), POLLIN, 0};
        }
        if (open == 0) return {};
        if (::poll(fds.data(), open, -1) < 0) {
            if (errno == EINTR) continue;
            return fail(Error::last_os());
        }
        for (nfds_t i = 0; i < open; ++i) {
            if (fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                polled[i]->sink->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                polled[i]->read.reset();
            } else if (errno != EINTR) {
                return fail(Error::last_os());
            }
        }
    }
}

}  // namespace

bool exited_successfully(int wait_status) {
    return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

Result<FinishedProgram> run_program(const std::vector<std::string>& argv, ProgramStdio stdio) {
    FinishedProgram finished{};
    SpawnFileActions actions;
    SpawnAttributes attributes;
    std::array<Capture, 2> captures;
    int error = stdio.in == ProgramInput::Null
                    ? ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0)
                    : 0;
    if (error == 0) error = plan_output(actions, 1, stdio.out, captures[0], finished.out);
    if (error == 0) error = plan_output(actions, 2, stdio.err, captures[1], finished.err);
    if (error == 0) error = plan_attributes(attributes);
    if (error != 0) return fail(Error::os(error));

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    error = ::posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(), environ);
    if (error != 0) return fail(Error::os(error));
    ChildProcess child(pid);

    // Our copies of the write ends must go, or the reads below never see end of file.
    for (Capture& capture : captures)
        capture.write.reset();
    Result<> drained = drain(captures);
    // Reap the child even when reading failed, so no zombie is left behind.
    for (Capture& capture : captures)
        capture.read.reset();
    // The installer waits as long as systemctl takes; nobody but root can stop these children.
    Result<bool> exited = child.wait_until(ChildProcess::Clock::time_point::max());
    if (!drained) return fail(std::move(drained).error());
    if (!exited) return fail(std::move(exited).error());
    finished.wait_status = *child.exit_status();
    return finished;
}

}  // namespace zembra::service
