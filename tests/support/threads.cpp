#include "support/threads.hpp"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace zembra::test {

std::size_t os_threads() {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr)
        throw std::runtime_error("/proc/self/task: " + std::string(std::strerror(errno)));
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

std::size_t os_threads_baseline() {
    std::thread([] {}).join();
    return os_threads();
}

}  // namespace zembra::test
