#include "service/hub/logs.hpp"

#include <deque>

#include "service/hub/responses.hpp"
#include "service/process_wide.hpp"

namespace zembra::hub {
namespace {

// Oldest first; a deque drops its front in constant time.
constinit service::ProcessWide<std::deque<std::string>> LOGS;

}  // namespace

void log_message(std::string line) {
    auto logs = service::lock_surviving_poison(LOGS);
    while (logs->size() >= LOG_CAPACITY)
        logs->pop_front();
    logs->push_back(std::move(line));
}

http::Response get_logs() {
    std::string text;
    {
        auto logs = service::lock_surviving_poison(LOGS);
        for (const std::string& line : *logs) {
            if (&line != &logs->front()) text += '\n';
            text += line;
        }
    }
    http::Response response = text_response(std::move(text), 200);
    response.set_field("cache-control", "no-store");
    return response;
}

}  // namespace zembra::hub
