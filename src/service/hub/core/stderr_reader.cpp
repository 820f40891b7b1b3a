#include "service/hub/core/stderr_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

#include "service/hub/core/log_buffer.hpp"
#include "service/hub/core/managed_core.hpp"
#include "utf8.hpp"

namespace zembra::hub {
namespace {

constexpr std::size_t READ_BUFFER_SIZE = 8192;
// How long a reader keeps looking for the exit of a Core whose stderr has closed.
constexpr std::chrono::nanoseconds REAP_WINDOW = 1s + 500'000'000ns;

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

// Copies lines until end of input, a read error or a line that is not UTF-8.
void copy_lines(int pipe, char* buffer) {
    StderrLines lines;
    for (;;) {
        const ssize_t n = ::read(pipe, buffer, READ_BUFFER_SIZE);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        if (n == 0) {
            lines.finish(log_message);
            return;
        }
        if (!lines.feed({buffer, static_cast<std::size_t>(n)}, log_message)) return;
    }
}

// The Core a reader belongs to: the session it was started for, and the process itself.
struct WatchedCore {
    std::string session_id;
    pid_t pid;
    service::FileDescriptor pidfd;  // empty without a process descriptor
};

// Empties the slot if the Core of `session_id` has exited; gives up after REAP_WINDOW. True when
// the window ended with the session's Core still running.
bool reap_if_exited(const std::string& session_id) {
    const auto deadline = std::chrono::steady_clock::now() + REAP_WINDOW;
    for (;;) {
        {
            auto slot = service::lock_surviving_poison(MANAGED_CORE);
            if (!*slot || (*slot)->session_id != session_id) return false;
            Result<std::optional<int>> status = (*slot)->child.query_status();
            if (!status) return false;
            if (status->has_value()) {
                log_message("Core exited on its own: " + exit_status_text(**status));
                slot->reset();
                return false;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return true;
        std::this_thread::sleep_for(service::CHILD_POLL_INTERVAL);
    }
}

// Blocking: until the process of `pidfd` has exited (true) or polling fails (false).
bool wait_until_exited(int pidfd) {
    pollfd exited = {.fd = pidfd, .events = POLLIN, .revents = 0};
    for (;;) {
        const int ready = ::poll(&exited, 1, -1);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Reaps the Core once it has exited, leaving its record and status in the slot exactly as a
// status query would: no log line, so a later stop still answers "stopped": true. A slot that
// holds another process means a stop, start or shutdown got there first and reaped this one.
void store_status_on_exit(const WatchedCore& core) {
    if (!core.pidfd || !wait_until_exited(core.pidfd.get())) return;
    auto slot = service::lock_surviving_poison(MANAGED_CORE);
    if (*slot && (*slot)->child.pid() == core.pid) (void)(*slot)->child.query_status();
}

void capture(service::FileDescriptor pipe, WatchedCore core, std::unique_ptr<char[]> buffer) {
    copy_lines(pipe.get(), buffer.get());
    buffer.reset();
    // Closed before the reap window, so a Core still writing gets EPIPE instead of blocking.
    pipe.reset();
    if (reap_if_exited(core.session_id)) store_status_on_exit(core);
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
                                  std::string session_id) {
    Result<service::FileDescriptor> pidfd = core.duplicate_pidfd();
    if (!pidfd) return fail(std::move(pidfd.error()).context("start the Core stderr reader"));
    try {
        auto buffer = std::make_unique<char[]>(READ_BUFFER_SIZE);
        std::thread(capture, std::move(pipe),
                    WatchedCore{std::move(session_id), core.pid(), std::move(*pidfd)},
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
