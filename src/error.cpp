#include "error.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace zembra {

Error Error::os(int errnum) {
    Error error(os_error_text(errnum));
    error.os_error_ = errnum;
    return error;
}

Error Error::last_os() {
    return os(errno);
}

Error Error::context(std::string message) && {
    messages_.insert(messages_.begin(), std::move(message));
    return std::move(*this);
}

std::string os_error_text(int errnum) {
    char buffer[256];
    // GNU strerror_r: returns either `buffer` or a static string.
    const char* description = strerror_r(errnum, buffer, sizeof buffer);
    return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

namespace {

constexpr std::array<std::string_view, 32> SIGNAL_NAMES = {
    "",          "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",
    "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM",
    "SIGSTKFLT", "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",
    "SIGXCPU",   "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS",
};

// Appends `text` to `out`, indenting every line after the first by `indent`.
void append_indented(std::string& out, std::string_view text, std::string_view indent) {
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        out.append(text.substr(start, end - start));
        if (end == std::string_view::npos) break;
        out += '\n';
        out += indent;
        start = end + 1;
    }
}

}  // namespace

std::string exit_status_text(int wait_status) {
    if (WIFEXITED(wait_status)) return "exit status: " + std::to_string(WEXITSTATUS(wait_status));
    if (WIFSIGNALED(wait_status)) {
        const int signal = WTERMSIG(wait_status);
        std::string text = "signal: " + std::to_string(signal);
        if (signal >= 1 && signal < static_cast<int>(SIGNAL_NAMES.size())) {
            text += " (";
            text += SIGNAL_NAMES[signal];
            text += ')';
        }
        if (WCOREDUMP(wait_status)) text += " (core dumped)";
        return text;
    }
    // Stopped or continued children are never reported as ended; keep the raw word visible.
    return "unrecognized wait status: " + std::to_string(wait_status);
}

std::string report(const Error& error) {
    std::string out = "Error: " + error.text() + '\n';
    const std::vector<std::string> causes = error.causes();
    if (!causes.empty()) out += "\nCaused by:\n";
    if (causes.size() == 1) {
        out += "    ";
        append_indented(out, causes.front(), "    ");
        out += '\n';
    } else {
        for (std::size_t i = 0; i < causes.size(); ++i) {
            std::string index = std::to_string(i);
            out += std::string(5 - std::min<std::size_t>(5, index.size()), ' ') + index + ": ";
            append_indented(out, causes[i], "       ");
            out += '\n';
        }
    }
    return out;
}

}  // namespace zembra
