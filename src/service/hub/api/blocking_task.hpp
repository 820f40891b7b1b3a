// Runs a blocking handler on the blocking pool and delivers its response, or a stand-in
// response when the handler fails or cannot be queued, so that every request is answered exactly
// once. Work whose client has gone before it runs is dropped unanswered, unless it is wanted all
// the same.
#pragma once

#include <functional>
#include <string>

#include "http/message.hpp"

namespace zembra::hub {

using BlockingWork = std::move_only_function<http::Response()>;
// Builds the answer for a task that ended abnormally, given the text of how it ended.
using TaskFailureAnswer = std::move_only_function<http::Response(const std::string& failure)>;

// Never blocks. Runs `work` on the pool's lane for work that never waits for the Core slot.
// `reply` gets `work`'s response; or, if `work` throws or the pool drops it unrun, `on_failure`'s.
void run_blocking(http::Reply reply, BlockingWork work, TaskFailureAnswer on_failure);

// What becomes of Core slot work whose client leaves before it runs.
enum class WithoutClient {
    // Dropped at once: a start nobody waits for starts no Core.
    Drop,
    // Done all the same: a stop asked for is a stop wanted.
    Run,
};

// Never blocks. Queues `work` for the Core slot, within the share of the client's connection.
// `reply` gets `work`'s response, or `on_failure`'s if it throws; when the queue has no room for
// it, or drops it unrun, 503 "helperBusy".
void run_for_core_slot(http::Reply reply, BlockingWork work, TaskFailureAnswer on_failure,
                       WithoutClient without_client);

}  // namespace zembra::hub
