#include "service/hub/logs.hpp"

#include "service/hub/responses.hpp"
#include "service/process_wide.hpp"

namespace zembra::hub {
namespace {

constinit service::ProcessWide<LogLines> LOGS;

}  // namespace

void LogLines::append(std::string line) {
    while (lines_.size() >= LOG_CAPACITY)
        lines_.pop_front();
    lines_.push_back(std::move(line));
}

std::string LogLines::joined() const {
    std::string text;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (i > 0) text += '\n';
        text += lines_[i];
    }
    return text;
}

void log_message(std::string line) {
    service::lock_surviving_poison(LOGS)->append(std::move(line));
}

http::Response get_logs() {
    http::Response response = text_response(service::lock_surviving_poison(LOGS)->joined(), 200);
    response.set_field("cache-control", "no-store");
    return response;
}

}  // namespace zembra::hub
