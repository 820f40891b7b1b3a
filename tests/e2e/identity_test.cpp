// The helper's identity follows the resolved file name of its own executable; install shows
// which one a copy is through the unit it writes and the command it names.
#include <filesystem>

#include <gtest/gtest.h>

#include "support/install_sandbox.hpp"

namespace zembra::test {
namespace {

using IdentityTest = InstallSandbox;

const std::string OWNER_ENV = "PKEXEC_UID=" + std::to_string(OWNER_UID);

TEST_F(IdentityTest, FileNameChoosesTheIdentity) {
    struct Case {
        const char* name;
        bool pre_release;
    };
    constexpr Case cases[] = {
        {"ZembraPreHelperService", true},     {"zembraprehelperservice", true},
        {"ZEMBRAPREHELPERSERVICE.bin", true}, {"zembraprehelperservice.bin", true},
        {"ZembraPreHelperService.", true},    {"ZembraPreHelperService.old.bin", false},
        {".ZembraPreHelperService", false},   {"ZembraPreHelperServiceX", false},
        {"ZembraHelperService", false},
    };
    // Only the pre-release unit names another owner: a pre-release install stops there.
    write_unit("Environment=MORVIK_HELPER_OWNER_UID=2000\n", "zembra-pre-helper");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string helper = place_helper(c.name);
        const ProcessResult result = run_helper(helper, {"install"}, {OWNER_ENV});
        if (c.pre_release) {
            EXPECT_TRUE(result.exited_with(1));
            EXPECT_EQ(result.err,
                      "Error: the Helper is already installed for UID 2000; run "
                      "`ZembraPreHelperService uninstall` as that user first\n");
            EXPECT_EQ(read_unit(), std::nullopt);
        } else {
            EXPECT_TRUE(result.exited_with(0)) << result.err;
            EXPECT_EQ(read_unit(), expected_unit("\"" + helper + "\"", OWNER_UID, OWNER_GID));
        }
        std::filesystem::remove(helper);
        std::filesystem::remove(unit_path());
    }
}

TEST_F(IdentityTest, SymbolicLinkNameDoesNotCount) {
    const std::string helper = place_helper("helper-under-another-name");
    const std::string link = std::string(HELPER_DIRECTORY) + "/ZembraPreHelperService";
    std::filesystem::create_symlink(helper, link);
    const ProcessResult result = run_helper(link, {"install"}, {OWNER_ENV});
    EXPECT_TRUE(result.exited_with(0)) << result.err;
    EXPECT_EQ(read_unit(), expected_unit("\"" + helper + "\"", OWNER_UID, OWNER_GID));
    EXPECT_EQ(read_unit("zembra-pre-helper"), std::nullopt);
}

TEST_F(IdentityTest, PreReleaseHelperInstallsAndUninstallsItsOwnUnit) {
    const std::string helper = place_helper("ZembraPreHelperService");
    const ProcessResult installed = run_helper(helper, {"install"}, {OWNER_ENV});
    EXPECT_TRUE(installed.exited_with(0)) << installed.err;
    EXPECT_EQ(read_unit("zembra-pre-helper"),
              expected_unit("\"" + helper + "\"", OWNER_UID, OWNER_GID, "zembra-pre"));
    EXPECT_EQ(verify_unit("zembra-pre-helper"), "");
    EXPECT_EQ(read_unit(), std::nullopt);

    const ProcessResult uninstalled = run_helper(helper, {"uninstall"});
    EXPECT_TRUE(uninstalled.exited_with(0)) << uninstalled.err;
    EXPECT_EQ(read_unit("zembra-pre-helper"), std::nullopt);
    EXPECT_EQ(systemctl_calls(),
              (std::vector<std::string>{"daemon-reload", "enable zembra-pre-helper",
                                        "restart zembra-pre-helper",
                                        "disable --now zembra-pre-helper", "daemon-reload"}));
}

}  // namespace
}  // namespace zembra::test
