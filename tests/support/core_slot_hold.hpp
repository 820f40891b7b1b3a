// The helper's Core slot kept taken for about 3 s, as an owner who stopped its Core with SIGSTOP
// keeps it: a Core is started and stopped, then a POST /stop for it waits out the 3 s a Core has
// to end after SIGTERM, which a stopped process never sees. Requests for the slot meanwhile wait
// in its queue, and a test can look at what becomes of them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/core_address.hpp"
#include "support/h2_client.hpp"

namespace zembra::test {

class CoreSlotHold {
  public:
    // Starts the Core on `address` for `session_id` over HTTP/1.1 as the owner, stops it with
    // SIGSTOP, asks for its stop over HTTP/2, and returns once the helper has sent it SIGTERM.
    // Throws std::runtime_error when the helper does not answer as expected.
    CoreSlotHold(const std::string& socket, const CoreAddress& address,
                 const std::string& session_id);
    ~CoreSlotHold();
    CoreSlotHold(const CoreSlotHold&) = delete;
    CoreSlotHold& operator=(const CoreSlotHold&) = delete;

    pid_t core() const { return core_; }
    // Queues stops on further connections until the slot's queue is full, each connection with
    // its share; returns once the helper has taken them.
    void fill_queue();
    // Waits for the stop's answer (about 3 s after SIGTERM) and for those of the queued stops;
    // the stop's status.
    int release();

  private:
    std::string socket_;
    std::string session_id_;
    pid_t core_ = -1;
    std::unique_ptr<H2Client> stopper_;
    std::int32_t stop_stream_ = 0;
    std::vector<std::unique_ptr<H2Client>> queued_;
};

}  // namespace zembra::test
