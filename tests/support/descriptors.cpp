#include "support/descriptors.hpp"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zembra::test {

std::set<std::string> open_descriptors() {
    std::set<std::string> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        throw std::runtime_error("/proc/self/fd: " + std::string(std::strerror(errno)));
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && std::stoi(name) != ::dirfd(dir)) fds.insert(name);
    }
    ::closedir(dir);
    return fds;
}

}  // namespace zembra::test
