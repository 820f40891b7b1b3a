#include "service/linux/executable_path.hpp"

#include <gtest/gtest.h>

namespace zembra::service {
namespace {

TEST(ExecutablePath, IsTheResolvedPathOfThisProcess) {
    const Result<std::string> path = current_executable_path();
    ASSERT_TRUE(path) << path.error().text();
    EXPECT_TRUE(path->starts_with("/"));
    EXPECT_TRUE(path->ends_with("/unit_tests")) << *path;
}

TEST(ExecutablePath, ParentDirectory) {
    struct Case {
        const char* path;
        const char* parent;  // nullptr: none
    };
    constexpr Case cases[] = {
        {"/usr/lib/app/ZembraHelperService", "/usr/lib/app"},
        {"/x", "/"},
        {"//x", "/"},
        {"/a//b", "/a"},
        {"/a/b/", "/a"},
        {"/", nullptr},
        {"x", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::optional<std::string> parent = parent_directory(c.path);
        if (c.parent == nullptr) {
            EXPECT_EQ(parent, std::nullopt);
        } else {
            EXPECT_EQ(parent, c.parent);
        }
    }
}

}  // namespace
}  // namespace zembra::service
