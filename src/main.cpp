// Process entry: process setup, the run mode chosen by the command line, and the one error
// report on stderr. Prints nothing on success.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "error.hpp"
#include "service/linux/install.hpp"
#include "service/linux/owner.hpp"
#include "service/linux/service_mode.hpp"
#include "utf8.hpp"

namespace {

using zembra::Result;

enum class RunMode { Service, Install, Uninstall };

// Ignores SIGPIPE, so a write to a vanished peer fails on that write instead of ending the
// process, and reopens a closed stdin, stdout or stderr on /dev/null, so no file or socket
// opened later lands on them. Those three must survive exec: no O_CLOEXEC here.
void prepare_process() {
    ::signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower descriptors are open by now, so open() returns `fd` itself.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

Result<RunMode> run_mode(int argc, char** argv) {
    if (argc < 2) return RunMode::Service;
    const std::string_view command = argv[1];
    RunMode mode;
    if (command == "install") {
        mode = RunMode::Install;
    } else if (command == "uninstall") {
        mode = RunMode::Uninstall;
    } else {
        return zembra::fail("unknown helper command: " + zembra::lossy_utf8(command));
    }
    if (argc > 2) return zembra::fail("helper accepts at most one command");
    return mode;
}

Result<> run(int argc, char** argv) {
    const Result<RunMode> mode = run_mode(argc, argv);
    if (!mode) return zembra::fail(mode.error());
    switch (*mode) {
        case RunMode::Install:
            return zembra::service::install();
        case RunMode::Uninstall:
            return zembra::service::uninstall();
        case RunMode::Service:
            break;
    }
    const Result<zembra::service::OwnerIds> owner = zembra::service::owner_from_env();
    if (!owner) return zembra::fail(owner.error());
    return zembra::service::run_service_mode(*owner);
}

void write_to_stderr(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    prepare_process();
    const Result<> result = run(argc, argv);
    if (result) return 0;
    write_to_stderr(zembra::report(result.error()));
    return 1;
}
