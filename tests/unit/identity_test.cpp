#include "service/identity.hpp"

#include <gtest/gtest.h>

namespace zembra::service {
namespace {

TEST(PreReleaseFileName, StemComparedWithAsciiCaseFolding) {
    struct Case {
        const char* name;
        bool pre_release;
    };
    constexpr Case cases[] = {
        {"ZembraPreHelperService", true},
        {"zembraPREhelperSERVICE", true},
        {"ZembraPreHelperService.bin", true},
        {"ZembraPreHelperService.", true},
        {"ZembraPreHelperService.old.bin", false},
        {".ZembraPreHelperService", false},
        {"ZembraPreHelperServiceX", false},
        {"ZembraPreHelperService\xff.bin", false},
        // Only A-Z fold: a dotless i is not an i.
        {"ZembraPreHelperServ\xc4\xb1"
         "ce",
         false},
        {"ZembraHelperService", false},
        {"", false},
        {"..", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        EXPECT_EQ(is_pre_release_file_name(c.name), c.pre_release);
    }
}

TEST(HelperIdentity, TestExecutableIsTheRegularHelper) {
    EXPECT_FALSE(pre_release());
    EXPECT_EQ(service_name(), "zembra-helper");
    EXPECT_EQ(executable_name(), "ZembraHelperService");
    EXPECT_EQ(runtime_directory_name(), "zembra");
}

}  // namespace
}  // namespace zembra::service
