// Directories with an exact owner and mode, whatever the umask of whoever runs the tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace zembra::test {

// The directory at `path` (created when missing) with owner `owner`, group root and `mode`.
inline std::string directory_with(const std::string& path, uid_t owner, mode_t mode) {
    std::filesystem::create_directories(path);
    EXPECT_EQ(::chown(path.c_str(), owner, 0), 0) << path;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
    return path;
}

}  // namespace zembra::test
