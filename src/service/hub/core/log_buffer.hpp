// LOGS: the last 100 lines of the Core's stderr and of the helper's own incidents, and the one
// narrow function that writes there.
#pragma once

#include <deque>
#include <memory>
#include <string>

namespace zembra::hub {

inline constexpr std::size_t LOG_CAPACITY = 100;

// The buffer's lines, oldest first; a deque drops its front in constant time.
class LogLines {
  public:
    void append(std::string line);
    // The lines joined by "\n", with none after the last.
    std::string joined() const;
    // joined(), built once per change of the lines and shared by every answer until the next:
    // a thousand unread answers hold one copy.
    std::shared_ptr<const std::string> snapshot();

  private:
    std::deque<std::string> lines_;
    std::shared_ptr<const std::string> snapshot_;  // none since the last change
};

// Appends one line; drops the oldest beyond the capacity. Any thread; never fails.
void log_message(std::string line);
// The lines joined by "\n", shared until the next change. Takes the log lock briefly; does not
// block otherwise.
std::shared_ptr<const std::string> log_snapshot();

}  // namespace zembra::hub
