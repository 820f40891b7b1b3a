#include "service/linux/executable_path.hpp"

#include <unistd.h>

#include <cerrno>

namespace zembra::service {

Result<std::string> current_executable_path() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return fail(Error::last_os());
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::optional<std::string> parent_directory(const std::string& path) {
    // Trailing separators do not name a component.
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return std::nullopt;
    const std::size_t slash = path.rfind('/', end);
    if (slash == std::string::npos) return std::nullopt;
    const std::size_t parent_end = path.find_last_not_of('/', slash);
    return parent_end == std::string::npos ? std::string("/") : path.substr(0, parent_end + 1);
}

}  // namespace zembra::service
