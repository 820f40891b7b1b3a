// Error values: an outermost message over its chain of causes, and the texts every part of
// the helper reports with (operating-system errors, child exit statuses, the stderr report).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zembra {

class [[nodiscard]] Error {
  public:
    explicit Error(std::string message) : messages_{std::move(message)} {}

    // The operating-system error `errnum`, with its text as the message.
    static Error os(int errnum);
    // The current errno as an operating-system error.
    static Error last_os();

    // Wraps this error under `message`, which becomes the outermost message; the root cause's
    // operating-system error number stays.
    Error context(std::string message) &&;

    // The text of the error: its outermost message alone.
    const std::string& text() const { return messages_.front(); }
    // The causes, outermost first (empty when there are none).
    std::vector<std::string> causes() const { return {messages_.begin() + 1, messages_.end()}; }
    // The errno of the root cause when that is an operating-system error, however much context
    // was added on top.
    std::optional<int> os_error() const { return os_error_; }

  private:
    std::vector<std::string> messages_;
    std::optional<int> os_error_;
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
    return std::unexpected(Error(std::move(message)));
}
inline std::unexpected<Error> fail(Error error) {
    return std::unexpected(std::move(error));
}

// strerror's description, then " (os error N)".
std::string os_error_text(int errnum);

// "exit status: N" or "signal: N (NAME)[ (core dumped)]" for a raw wait status.
std::string exit_status_text(int wait_status);

// The report written to stderr for a failed run mode, final line break included.
std::string report(const Error& error);

}  // namespace zembra
