// LOGS: the last 100 lines of the Core's stderr and of the helper's own incidents, and the one
// narrow function that writes there.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>

namespace zembra::hub {

inline constexpr std::size_t LOG_CAPACITY = 100;
// What snapshots that answers still hold may add up to: a client that asks for the logs again
// and again while they change, and never reads, would otherwise pin a full buffer per answer.
// Far above what answers that are read as they come ever hold.
inline constexpr std::size_t MAX_HELD_SNAPSHOT_BYTES = 16 << 20;

// The buffer's lines, oldest first; a deque drops its front in constant time.
class LogLines {
  public:
    explicit LogLines(std::size_t max_held_bytes = MAX_HELD_SNAPSHOT_BYTES)
        : max_held_bytes_(max_held_bytes),
          held_bytes_(std::make_shared<std::atomic<std::size_t>>(0)) {}

    void append(std::string line);
    // The lines joined by "\n", with none after the last.
    std::string joined() const;
    // joined(), built once per change of the lines and shared by every answer until the next:
    // a thousand unread answers hold one copy. While the snapshots still held would exceed
    // `max_held_bytes` with a new one, the newest of them is given instead, a moment old.
    std::shared_ptr<const std::string> snapshot();

  private:
    std::size_t joined_size() const;

    const std::size_t max_held_bytes_;
    // Bytes of the snapshots alive; shared with them, as they may outlive the buffer.
    const std::shared_ptr<std::atomic<std::size_t>> held_bytes_;
    std::deque<std::string> lines_;
    std::shared_ptr<const std::string> snapshot_;  // none since the last change
    std::weak_ptr<const std::string> newest_;      // the last snapshot built
};

// Appends one line; drops the oldest beyond the capacity. Any thread; never fails.
void log_message(std::string line);
// The lines joined by "\n", shared until the next change. Takes the log lock briefly; does not
// block otherwise.
std::shared_ptr<const std::string> log_snapshot();

}  // namespace zembra::hub
