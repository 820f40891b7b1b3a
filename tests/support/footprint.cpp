#include "support/footprint.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

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

std::optional<std::string> read_proc_entry(pid_t pid, const char* entry) {
    const int fd = ::open(proc_path(pid, entry).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0) return std::nullopt;
    return text;
}

std::optional<Footprint> read_footprint(pid_t pid) {
    const std::optional<std::string> text = read_proc_entry(pid, "status");
    if (!text) return std::nullopt;
    std::istringstream status(*text);
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
    const std::optional<std::string> text = read_proc_entry(pid, "stat");
    if (!text) return std::nullopt;
    const std::string& line = *text;
    // The command name in parentheses may hold spaces and parentheses: read after the last ')'.
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(name_end + 1));
    ProcessState state{};
    if (!(fields >> state.state >> state.parent)) return std::nullopt;
    return state;
}

}  // namespace zembra::test
