#include "support/footprint.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

namespace zembra::test {
namespace {

std::string proc_path(pid_t pid, const char* entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// Entries of a /proc directory, less "." and ".."; none when it cannot be listed.
std::optional<std::vector<std::string>> list_entries(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

std::optional<std::size_t> count_entries(const std::string& path) {
    const std::optional<std::vector<std::string>> names = list_entries(path);
    if (!names) return std::nullopt;
    return names->size();
}

// Each thread of `pid` as "task/TID/".
std::vector<std::string> task_entries(pid_t pid) {
    std::vector<std::string> tasks;
    for (const std::string& tid :
         list_entries(proc_path(pid, "task")).value_or(std::vector<std::string>{}))
        tasks.push_back("task/" + tid + "/");
    return tasks;
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

std::vector<pid_t> child_processes(pid_t pid) {
    std::vector<pid_t> children;
    for (const std::string& task : task_entries(pid)) {
        std::istringstream listed(read_proc_entry(pid, (task + "children").c_str()).value_or(""));
        for (pid_t child = 0; listed >> child;)
            children.push_back(child);
    }
    return children;
}

bool signal_pending(pid_t pid, int signal) {
    std::istringstream status(read_proc_entry(pid, "status").value_or(""));
    for (std::string line; std::getline(status, line);) {
        if (!line.starts_with("ShdPnd:")) continue;
        const unsigned long long pending = std::stoull(line.substr(7), nullptr, 16);
        return (pending >> (signal - 1) & 1) != 0;
    }
    return false;
}

std::size_t threads_named(pid_t pid, std::string_view name) {
    std::size_t count = 0;
    for (const std::string& task : task_entries(pid))
        count += read_proc_entry(pid, (task + "comm").c_str()) == std::string(name) + "\n";
    return count;
}

}  // namespace zembra::test
