#include "service/linux/signals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

#include <boost/asio/posix/stream_descriptor.hpp>

namespace zembra::service {
namespace {

// The write end of the self-pipe, for the signal handler. The pipe lives as long as the
// process: a handler already running on another thread may still write to it after release.
std::atomic<int> wakeup_fd{-1};

extern "C" void note_termination_signal(int) {
    const int saved_errno = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    [[maybe_unused]] const ssize_t written = ::write(wakeup_fd.load(), &byte, 1);
    errno = saved_errno;
}

struct SelfPipe {
    int read_end = -1;
    int write_end = -1;
    int error = 0;
};

const SelfPipe& self_pipe() {
    static const SelfPipe pipe = [] {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return SelfPipe{-1, -1, errno};
        wakeup_fd.store(ends[1]);
        return SelfPipe{ends[0], ends[1], 0};
    }();
    return pipe;
}

Result<> install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    if (::sigaction(signal_number, &action, nullptr) != 0) return fail(Error::last_os());
    return {};
}

constexpr std::array<std::pair<int, const char*>, 2> TERMINATION_SIGNALS = {{
    {SIGTERM, "listen for SIGTERM"},
    {SIGINT, "listen for SIGINT"},
}};

}  // namespace

struct TerminationSignal::State {
    explicit State(boost::asio::io_context& loop) : wakeups(loop) {}

    ~State() {
        release();
        // The descriptor belongs to the process-wide pipe, not to this listener.
        wakeups.release();
    }

    void release() {
        if (released) return;
        released = true;
        // SIG_IGN replaces the handler atomically, so there is no moment with the default
        // effect back in place.
        for (const auto& [signal_number, context] : TERMINATION_SIGNALS)
            (void)install(signal_number, SIG_IGN);
    }

    boost::asio::posix::stream_descriptor wakeups;
    bool released = false;
};

TerminationSignal::TerminationSignal(std::shared_ptr<State> state) : state_(std::move(state)) {}
TerminationSignal::TerminationSignal(TerminationSignal&&) noexcept = default;
TerminationSignal& TerminationSignal::operator=(TerminationSignal&&) noexcept = default;
TerminationSignal::~TerminationSignal() = default;

Result<TerminationSignal> TerminationSignal::listen(boost::asio::io_context& loop) {
    for (const auto& [signal_number, context] : TERMINATION_SIGNALS) {
        const SelfPipe& pipe = self_pipe();
        if (pipe.error != 0) return fail(Error::os(pipe.error).context(context));
        if (auto installed = install(signal_number, note_termination_signal); !installed)
            return fail(std::move(installed.error()).context(context));
    }
    // Wake-ups left from an earlier listener in this process must not end this one's wait.
    char stale[64];
    while (::read(self_pipe().read_end, stale, sizeof stale) > 0) {
    }
    auto state = std::make_shared<State>(loop);
    boost::system::error_code error;
    state->wakeups.assign(self_pipe().read_end, error);
    if (error) return fail(Error::os(error.value()).context("listen for SIGTERM"));
    return TerminationSignal(std::move(state));
}

void TerminationSignal::async_wait(std::move_only_function<void()> on_signal) {
    state_->wakeups.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                               [state = state_, on_signal = std::move(on_signal)](
                                   boost::system::error_code error) mutable {
                                   if (error) return;
                                   state->release();
                                   on_signal();
                               });
}

}  // namespace zembra::service
