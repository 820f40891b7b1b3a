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

std::size_t LogLines::joined_size() const {
    std::size_t size = lines_.empty() ? 0 : lines_.size() - 1;
    for (const std::string& line : lines_)
        size += line.size();
    return size;
}

std::shared_ptr<const std::string> LogLines::snapshot() {
    if (snapshot_) return snapshot_;
    if (held_bytes_->load() + joined_size() > max_held_bytes_) {
        if (std::shared_ptr<const std::string> newest = newest_.lock()) return newest;
    }
    auto text = std::make_unique<const std::string>(joined());
    held_bytes_->fetch_add(text->size());
    snapshot_ = std::shared_ptr<const std::string>(
        text.release(), [held = held_bytes_](const std::string* released) {
            held->fetch_sub(released->size());
            delete released;
        });
    newest_ = snapshot_;
    return snapshot_;
}

void log_message(std::string line) {
    service::lock_surviving_poison(LOGS)->append(std::move(line));
}

std::shared_ptr<const std::string> log_snapshot() {
    return service::lock_surviving_poison(LOGS)->snapshot();
}

}  // namespace zembra::hub
