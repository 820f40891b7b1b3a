#include "service/hub/core/stderr_reader.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iterator>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/managed_core.hpp"
#include "utf8.hpp"

namespace zembra::hub {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t READ_BUFFER_SIZE = 8192;
// A Core that exits this soon after its stderr closed has exited on its own; a later exit is
// reaped without a word.
constexpr std::chrono::nanoseconds REAP_WINDOW = 1s + 500'000'000ns;
// What a Core wrote before it exited is read after its exit, up to a full pipe's worth.
constexpr int FINAL_READS = 8;

bool is_continuation_byte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The longest prefix of at most `limit` bytes that does not end inside a UTF-8 character.
std::size_t character_boundary_at_most(std::string_view bytes, std::size_t limit) {
    if (bytes.size() <= limit) return bytes.size();
    std::size_t cut = limit;
    // A character is at most 4 bytes: never step back over more than 3 continuation bytes.
    while (cut > 0 && limit - cut < 3 && is_continuation_byte(bytes[cut]))
        --cut;
    return cut;
}

// The Core a reader follows: its own process, and whether the slot has taken over its end.
struct FollowedCore {
    pid_t pid;
    service::FileDescriptor pidfd;  // empty without a process descriptor (an old kernel)
    std::shared_ptr<const std::atomic<bool>> released;
};

// Copies what one read brings; false once the capture is over: end of input (the bytes after
// the last newline form a last line), a read error, or a line that is not UTF-8.
bool copy_some(int pipe, char* buffer, StderrLines& lines) {
    ssize_t n;
    do {
        n = ::read(pipe, buffer, READ_BUFFER_SIZE);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    if (n == 0) {
        lines.finish(log_message);
        return false;
    }
    return lines.feed({buffer, static_cast<std::size_t>(n)}, log_message);
}

// Whether the process has exited, given what poll saw on its descriptor.
bool has_exited(const FollowedCore& core, short pidfd_events) {
    if (core.pidfd) return pidfd_events != 0;
    // Without a descriptor: its id is still this process's until the slot reaps it, which it
    // does only once released, and then the reader has nothing more to do.
    if (core.released->load()) return true;
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(core.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
           info.si_pid == core.pid;
}

// The Core has exited. Unless the slot is stopping it (and so reaps it itself), reaps it as the
// slot's status query does; one that exited `on_its_own` is logged and its record dropped.
void settle(const FollowedCore& core, bool on_its_own) {
    if (core.released->load()) return;
    auto slot = service::lock_surviving_poison(MANAGED_CORE);
    // A stop, start or shutdown got there first and reaped it.
    if (!*slot || (*slot)->child.pid() != core.pid) return;
    Result<std::optional<int>> status = (*slot)->child.query_status();
    if (!status || !status->has_value() || !on_its_own) return;
    log_message("Core exited on its own: " + exit_status_text(**status));
    slot->reset();
}

void follow(service::FileDescriptor pipe, FollowedCore core, std::unique_ptr<char[]> buffer) {
    // Named for whoever lists the helper's threads.
    ::pthread_setname_np(::pthread_self(), "core-stderr");
    StderrLines lines;
    std::optional<Clock::time_point> pipe_closed;
    const auto close_pipe = [&] {
        // At once, so a Core still writing gets EPIPE instead of blocking.
        pipe.reset();
        buffer.reset();
        pipe_closed = Clock::now();
    };
    const int timeout = core.pidfd ? -1 : static_cast<int>(service::CHILD_POLL_INTERVAL.count());
    for (;;) {
        pollfd watched[] = {
            {.fd = pipe ? pipe.get() : -1, .events = POLLIN, .revents = 0},
            {.fd = core.pidfd ? core.pidfd.get() : -1, .events = POLLIN, .revents = 0}};
        const int ready = ::poll(watched, std::size(watched), timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        if (watched[0].revents != 0 && !copy_some(pipe.get(), buffer.get(), lines)) close_pipe();
        if (has_exited(core, watched[1].revents)) break;
    }
    // What the Core wrote before it exited is in the pipe, and is logged before its exit is; a
    // child it left behind may hold the pipe open and write on, and is not waited for.
    for (int reads = 0; pipe && reads < FINAL_READS; ++reads) {
        pollfd readable = {.fd = pipe.get(), .events = POLLIN, .revents = 0};
        if (::poll(&readable, 1, 0) <= 0 || !copy_some(pipe.get(), buffer.get(), lines)) break;
    }
    settle(core, !pipe_closed || Clock::now() - *pipe_closed <= REAP_WINDOW);
}

}  // namespace

bool StderrLines::feed(std::string_view bytes, const Emit& emit) {
    while (!bytes.empty()) {
        const std::size_t newline = bytes.find('\n');
        collect(bytes.substr(0, newline));
        if (newline == std::string_view::npos) break;
        bytes.remove_prefix(newline + 1);
        if (!complete_line(emit, true)) return false;
    }
    return true;
}

void StderrLines::finish(const Emit& emit) {
    if (collected_) (void)complete_line(emit, false);
}

void StderrLines::collect(std::string_view bytes) {
    collected_ = collected_ || !bytes.empty();
    if (capped_) return;
    line_.append(bytes);
    if (line_.size() > MAX_LINE) {
        line_.resize(character_boundary_at_most(line_, MAX_LINE));
        capped_ = true;
    }
}

bool StderrLines::complete_line(const Emit& emit, bool ended_by_newline) {
    std::string line = std::move(line_);
    line_.clear();
    // A capped line lost its end, carriage return included.
    if (ended_by_newline && !capped_ && line.ends_with('\r')) line.pop_back();
    collected_ = false;
    capped_ = false;
    if (!is_valid_utf8(line)) return false;
    emit(std::move(line));
    return true;
}

Result<void> start_stderr_capture(service::FileDescriptor pipe, const service::ChildProcess& core,
                                  std::shared_ptr<const std::atomic<bool>> released) {
    Result<service::FileDescriptor> pidfd = core.duplicate_pidfd();
    if (!pidfd) return fail(std::move(pidfd.error()).context("start the Core stderr reader"));
    try {
        auto buffer = std::make_unique<char[]>(READ_BUFFER_SIZE);
        std::thread(follow, std::move(pipe),
                    FollowedCore{core.pid(), std::move(*pidfd), std::move(released)},
                    std::move(buffer))
            .detach();
        return {};
    } catch (const std::system_error& e) {
        return fail(Error::os(e.code().value()).context("start the Core stderr reader"));
    } catch (const std::bad_alloc&) {
        return fail(Error::os(ENOMEM).context("start the Core stderr reader"));
    }
}

}  // namespace zembra::hub
