// Runs a blocking handler on the blocking pool and delivers its response, or a stand-in
// response when the handler fails, so that every request is answered exactly once.
#pragma once

#include <functional>
#include <string>

#include "http/message.hpp"
#include "service/blocking_pool.hpp"

namespace zembra::hub {

using BlockingWork = std::move_only_function<http::Response()>;
// Builds the answer for a task that ended abnormally, given the text of how it ended.
using TaskFailureAnswer = std::move_only_function<http::Response(const std::string& failure)>;

// Never blocks. Runs `work` on `lane` of the blocking pool. `reply` gets `work`'s response; or,
// if `work` throws or the pool drops it unrun, `on_failure`'s.
void run_blocking(service::BlockingLane lane, http::Reply reply, BlockingWork work,
                  TaskFailureAnswer on_failure);

}  // namespace zembra::hub
