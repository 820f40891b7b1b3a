// Capture of a Core's stderr into the log buffer, and the reaping of a Core that exits by
// itself: one detached reader thread per started Core, which ends with its Core.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "error.hpp"
#include "service/hub/core/managed_core.hpp"
#include "service/linux/file_descriptor.hpp"

namespace zembra::hub {

// Cuts a byte stream into lines. A line longer than MAX_LINE keeps its first MAX_LINE bytes (cut
// before a partial UTF-8 character) and loses the rest up to its newline, so an endless line
// cannot grow the helper's memory.
class StderrLines {
  public:
    static constexpr std::size_t MAX_LINE = 64 * 1024;
    using Emit = std::function<void(std::string)>;

    // Emits every line that `bytes` completes, without its newline and a carriage return just
    // before it. False when a line was not valid UTF-8: that line is dropped and capture must end.
    bool feed(std::string_view bytes, const Emit& emit);
    // End of input: the bytes after the last newline, if any, form a last line.
    void finish(const Emit& emit);

  private:
    void collect(std::string_view bytes);
    bool complete_line(const Emit& emit, bool ended_by_newline);

    std::string line_;
    bool collected_ = false;  // bytes arrived since the last newline
    bool capped_ = false;     // the line reached MAX_LINE; its rest is being dropped
};

// Starts the detached reader of a Core's stderr. It copies the Core's lines into the log buffer
// and follows the Core's own process (by its process descriptor; without one, by polling its id)
// until that process is gone. A Core that the slot is stopping (`released` set) is the slot's to
// reap, and the reader ends once it has exited, without waiting for the slot's lock. A Core that
// exits by itself, while its stderr is open or within 1.5 s of its end, is reaped here, logged
// ("Core exited on its own: ...") and taken out of the slot; one that exits later still is reaped
// without a word, its status kept in the slot as a status query keeps it, so nothing is left a
// zombie and every later answer stays the same. Fails only when the thread or its copy of
// `core`'s process descriptor cannot be had; the pipe is closed then.
Result<void> start_stderr_capture(service::FileDescriptor pipe, const service::ChildProcess& core,
                                  std::shared_ptr<const std::atomic<bool>> released);

}  // namespace zembra::hub
