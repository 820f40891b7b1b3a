#include "service/hub/core/log_buffer.hpp"

#include "service/process_wide.hpp"

namespace zembra::hub {
namespace {

constinit service::ProcessWide<LogLines> LOGS;

}  // namespace

void LogLines::append(std::string line) {
    while (lines_.size() >= LOG_CAPACITY)
        lines_.pop_front();
    lines_.push_back(std::move(line));
    snapshot_.reset();
}

std::string LogLines::joined() const {
    std::string text;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (i > 0) text += '\n';
        text += lines_[i];
    }
    return text;
}

std::shared_ptr<const std::string> LogLines::snapshot() {
    if (!snapshot_) snapshot_ = std::make_shared<const std::string>(joined());
    return snapshot_;
}

void log_message(std::string line) {
    service::lock_surviving_poison(LOGS)->append(std::move(line));
}

std::shared_ptr<const std::string> log_snapshot() {
    return service::lock_surviving_poison(LOGS)->snapshot();
}

}  // namespace zembra::hub
