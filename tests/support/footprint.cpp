#include "support/footprint.hpp"

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>

namespace zembra::test {
namespace {

std::string proc_path(pid_t pid, const char* entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// Entries of a /proc directory, less "." and ".."; none when it cannot be listed.
std::optional<std::size_t> count_entries(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return std::nullopt;
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

}  // namespace

std::optional<Footprint> read_footprint(pid_t pid) {
    std::ifstream status(proc_path(pid, "status"));
    Footprint footprint;
    bool resident_seen = false;
    for (std::string line; std::getline(status, line);) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "VmRSS:") resident_seen = static_cast<bool>(fields >> footprint.resident_kib);
        if (key == "Threads:") fields >> footprint.threads;
    }
    const std::optional<std::size_t> descriptors = count_entries(proc_path(pid, "fd"));
    if (!resident_seen || !descriptors) return std::nullopt;
    footprint.descriptors = *descriptors;
    return footprint;
}

std::optional<ProcessState> read_process_state(pid_t pid) {
    std::ifstream stat(proc_path(pid, "stat"));
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    // The command name in parentheses may hold spaces and parentheses: read after the last ')'.
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(name_end + 1));
    ProcessState state{};
    if (!(fields >> state.state >> state.parent)) return std::nullopt;
    return state;
}

}  // namespace zembra::test
