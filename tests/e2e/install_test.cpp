// `install` and `uninstall` run for real as root inside the sandbox: the unit they write, the
// systemctl calls they make, and every refusal leaving the system untouched.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <string_view>

#include <gtest/gtest.h>

#include "support/install_sandbox.hpp"

namespace zembra::test {
namespace {

using Calls = std::vector<std::string>;

const std::string OWNER_ENV = "PKEXEC_UID=" + std::to_string(OWNER_UID);
const std::string HELPER_PATH = "/run/install-sandbox/helper/ZembraHelperService";
const std::string QUOTED_HELPER_PATH = "\"" + HELPER_PATH + "\"";

// The fake systemctl echoes every call on the stdout and stderr it inherits.
std::string systemctl_echo(const Calls& calls, const char* stream) {
    std::string echo;
    for (const std::string& call : calls)
        echo += "systemctl " + call + " (" + stream + ")\n";
    return echo;
}

unsigned mode_of(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

using InstallTest = InstallSandbox;

TEST_F(InstallTest, WritesTheUnitThenReloadsEnablesAndRestarts) {
    const std::string helper = place_helper();
    // The unit must end up 0644 whatever umask the installer inherits.
    const mode_t umask = ::umask(077);
    const ProcessResult result = run_helper(helper, {"install"}, {OWNER_ENV});
    ::umask(umask);

    const Calls calls = {"daemon-reload", "enable zembra-helper", "restart zembra-helper"};
    EXPECT_TRUE(result.exited_with(0)) << result.err;
    EXPECT_EQ(result.out, systemctl_echo(calls, "stdout"));
    EXPECT_EQ(result.err, systemctl_echo(calls, "stderr"));
    EXPECT_EQ(systemctl_calls(), calls);
    EXPECT_EQ(read_unit(), expected_unit(QUOTED_HELPER_PATH, OWNER_UID, OWNER_GID));
    EXPECT_EQ(mode_of(unit_path()), 0644u);
    EXPECT_EQ(verify_unit(), "");
}

// Whatever umask the installer has, the unit appears whole with mode 0644 and nothing is left
// beside it; one that others could write is replaced, not rewritten, so what they write through
// a descriptor they opened before reaches the old file only.
TEST_F(InstallTest, UnitIsReplacedWholeAndOnlyRootCanWriteIt) {
    const std::string helper = place_helper();
    for (const mode_t installer_umask : {00, 077}) {
        SCOPED_TRACE("umask " + std::to_string(installer_umask));
        write_unit("[Service]\nExecStart=/old/path\n");
        ASSERT_EQ(::chmod(unit_path().c_str(), 0666), 0);
        const int kept_open = ::open(unit_path().c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(kept_open, 0);

        const mode_t previous = ::umask(installer_umask);
        const ProcessResult result = run_helper(helper, {"install"}, {OWNER_ENV});
        ::umask(previous);
        const std::string_view rewrite = "[Service]\nExecStart=/tmp/not-the-helper\n";
        EXPECT_EQ(::write(kept_open, rewrite.data(), rewrite.size()),
                  static_cast<ssize_t>(rewrite.size()));
        ::close(kept_open);

        EXPECT_TRUE(result.exited_with(0)) << result.err;
        EXPECT_EQ(read_unit(), expected_unit(QUOTED_HELPER_PATH, OWNER_UID, OWNER_GID));
        EXPECT_EQ(mode_of(unit_path()), 0644u);
        const auto entries =
            std::distance(std::filesystem::directory_iterator("/etc/systemd/system"),
                          std::filesystem::directory_iterator());
        EXPECT_EQ(entries, 1) << "something left beside the unit";
    }
}

TEST_F(InstallTest, RewritesAUnitThatIsFreeForTheInvokingUser) {
    struct Case {
        const char* name;
        const char* existing;
    };
    const Case cases[] = {
        {"same owner",
         "[Service]\nExecStart=/old/path\nEnvironment=MORVIK_HELPER_OWNER_UID=1000\n"},
        {"indented uid line", " Environment=MORVIK_HELPER_OWNER_UID=2000\n"},
        {"uid that does not parse", "Environment=MORVIK_HELPER_OWNER_UID=abc\n"},
    };
    const std::string helper = place_helper();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_unit(c.existing);
        const ProcessResult result = run_helper(helper, {"install"}, {"SUDO_UID=1000"});
        EXPECT_TRUE(result.exited_with(0)) << result.err;
        EXPECT_EQ(read_unit(), expected_unit(QUOTED_HELPER_PATH, OWNER_UID, OWNER_GID));
    }
}

TEST_F(InstallTest, RefusesBeforeChangingAnything) {
    struct Case {
        const char* name;
        std::vector<std::string> env;
        const char* report;
        uid_t executable_owner = 0;
        unsigned directory_mode = 0755;
        std::optional<std::string> existing_unit = std::nullopt;
        // Of the directory above the helper's (ROOT).
        uid_t ancestor_owner = 0;
        unsigned ancestor_mode = 0755;
        std::string helper_name = "ZembraHelperService";
    };
    const std::string not_root_owned =
        " must be owned by root and not writable by group or others to run as a service; "
        "install the package instead of running an unpacked bundle\n";
    const std::string file_report = "Error: " + HELPER_PATH + not_root_owned;
    const std::string directory_report = "Error: /run/install-sandbox/helper" + not_root_owned;
    const std::string ancestor_report = "Error: /run/install-sandbox" + not_root_owned;
    // systemd would read what follows a line break as further settings of the unit.
    const char* control_report =
        "Error: the helper executable path contains a control character, which a unit file "
        "cannot hold; install the package instead of running an unpacked bundle\n";
    const Case cases[] = {
        {"no invoking user",
         {},
         "Error: neither PKEXEC_UID nor SUDO_UID is set; run the installer through pkexec\n"},
        {"unusable PKEXEC_UID shadows SUDO_UID",
         {"PKEXEC_UID=abc", "SUDO_UID=1000"},
         "Error: the invoking user ID is not usable\n\nCaused by:\n"
         "    0: expected an unsigned ID\n    1: invalid digit found in string\n"},
        {"PKEXEC_UID that is not UTF-8 counts as absent",
         {"PKEXEC_UID=\xff", "SUDO_UID=0"},
         "Error: the invoking user ID is not usable\n\nCaused by:\n    expected a non-root ID\n"},
        {"sudo from a root shell",
         {"SUDO_UID=0"},
         "Error: the invoking user ID is not usable\n\nCaused by:\n    expected a non-root ID\n"},
        {"user-owned executable", {OWNER_ENV}, file_report.c_str(), OWNER_UID},
        {"group-writable directory", {OWNER_ENV}, directory_report.c_str(), 0, 0775},
        {"the executable is examined first", {OWNER_ENV}, file_report.c_str(), OWNER_UID, 0777},
        {.name = "directory above owned by the owner",
         .env = {OWNER_ENV},
         .report = ancestor_report.c_str(),
         .ancestor_owner = OWNER_UID},
        {.name = "sticky directory above, as /tmp is",
         .env = {OWNER_ENV},
         .report = ancestor_report.c_str(),
         .ancestor_mode = 01777},
        {.name = "the top-most failing directory is named",
         .env = {OWNER_ENV},
         .report = ancestor_report.c_str(),
         .directory_mode = 0777,
         .ancestor_owner = OWNER_UID},
        {.name = "a line break in the path",
         .env = {OWNER_ENV},
         .report = control_report,
         .helper_name = "helper\nUser=nobody"},
        {.name = "a tab in the path",
         .env = {OWNER_ENV},
         .report = control_report,
         .helper_name = "helper\t"},
        {.name = "a DEL in the path",
         .env = {OWNER_ENV},
         .report = control_report,
         .helper_name = "helper\x7f"},
        {"uid without an account",
         {"PKEXEC_UID=4242"},
         "Error: id -g 4242 failed with exit status: 1\n"},
        {"primary group root",
         {"PKEXEC_UID=1002"},
         "Error: the invoking group is not usable\n\nCaused by:\n    expected a non-root ID\n"},
        {"installed for another user",
         {OWNER_ENV},
         "Error: the Helper is already installed for UID 2000; run `ZembraHelperService "
         "uninstall` as that user first\n",
         0,
         0755,
         "[Service]\nEnvironment=MORVIK_HELPER_OWNER_UID=2000\n"},
        {"unit that is not UTF-8",
         {OWNER_ENV},
         "Error: read /etc/systemd/system/zembra-helper.service\n\nCaused by:\n"
         "    invalid UTF-8 sequence at byte 3\n",
         0,
         0755,
         "abc\xff\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string helper = place_helper(c.helper_name);
        ASSERT_EQ(::chown(helper.c_str(), c.executable_owner, 0), 0);
        std::filesystem::permissions(HELPER_DIRECTORY,
                                     static_cast<std::filesystem::perms>(c.directory_mode));
        ASSERT_EQ(::chown(ROOT, c.ancestor_owner, 0), 0);
        ASSERT_EQ(::chmod(ROOT, c.ancestor_mode), 0);
        if (c.existing_unit) write_unit(*c.existing_unit);

        const ProcessResult result = run_helper(helper, {"install"}, c.env);
        EXPECT_TRUE(result.exited_with(1));
        EXPECT_EQ(result.err, c.report);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(read_unit(), c.existing_unit);
        EXPECT_EQ(systemctl_calls(), Calls{});
        std::filesystem::remove(unit_path());
    }
}

// systemd takes the executable path of ExecStart literally ("$$" would name another file), so
// `systemd-analyze verify` finds the helper only when '$' is written as it is.
TEST_F(InstallTest, WritesADollarSignInThePathAsItIs) {
    for (const std::string name : {"helper$USER", "helper${USER}"}) {
        SCOPED_TRACE(name);
        const std::string helper = place_helper(name);
        const ProcessResult result = run_helper(helper, {"install"}, {OWNER_ENV});
        EXPECT_TRUE(result.exited_with(0)) << result.err;
        EXPECT_EQ(read_unit(), expected_unit("\"" + helper + "\"", OWNER_UID, OWNER_GID));
        EXPECT_EQ(verify_unit(), "");
    }
}

TEST_F(InstallTest, GroupComesFromTheStandardOutputOfId) {
    struct Case {
        const char* name;
        const char* id_script;
        const char* report;  // nullptr: installed with gid 1001
    };
    constexpr Case cases[] = {
        // id's stdin is /dev/null, its stderr is captured and dropped, blanks around are trimmed.
        {"answer with noise",
         "[ \"$*\" = \"-g 1000\" ] || exit 8\n"
         "[ \"$(/usr/bin/readlink /proc/$$/fd/0)\" = /dev/null ] || exit 9\n"
         "echo 'id: noise' >&2; echo ' 1001 '",
         nullptr},
        {"nothing but blanks", "printf ' \\n'", "Error: id -g 1000 returned nothing\n"},
        {"not a number", "echo abc",
         "Error: the invoking group is not usable\n\nCaused by:\n"
         "    0: expected an unsigned ID\n    1: invalid digit found in string\n"},
        {"not UTF-8", "printf '10\\377\\n'",
         "Error: id returned invalid UTF-8\n\nCaused by:\n    invalid UTF-8 sequence at byte 2\n"},
        {"killed", "kill -9 $$", "Error: id -g 1000 failed with signal: 9 (SIGKILL)\n"},
    };
    const std::string helper = place_helper();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        replace_id(c.id_script);
        const ProcessResult result = run_helper(helper, {"install"}, {OWNER_ENV});
        if (c.report == nullptr) {
            EXPECT_TRUE(result.exited_with(0)) << result.err;
            EXPECT_EQ(result.err.find("noise"), std::string::npos) << result.err;
            EXPECT_EQ(read_unit(), expected_unit(QUOTED_HELPER_PATH, OWNER_UID, OWNER_GID));
        } else {
            EXPECT_TRUE(result.exited_with(1));
            EXPECT_EQ(result.err, c.report);
            EXPECT_EQ(read_unit(), std::nullopt);
        }
        std::filesystem::remove(unit_path());
    }
}

TEST_F(InstallTest, WithoutRootPrivilegesFailsToWriteTheUnit) {
    const std::string helper = place_helper();
    ProcessOptions as_owner;
    as_owner.uid = OWNER_UID;
    as_owner.gid = OWNER_GID;
    const ProcessResult result = run_helper(helper, {"install"}, {OWNER_ENV}, as_owner);
    EXPECT_TRUE(result.exited_with(1));
    EXPECT_EQ(result.err,
              "Error: write /etc/systemd/system/zembra-helper.service\n\nCaused by:\n"
              "    Permission denied (os error 13)\n");
    EXPECT_EQ(read_unit(), std::nullopt);
    EXPECT_EQ(systemctl_calls(), Calls{});
}

TEST_F(InstallTest, FailingEnableLeavesTheReloadedUnitInPlace) {
    const std::string helper = place_helper();
    make_systemctl_fail("enable", 3);
    const ProcessResult result = run_helper(helper, {"install"}, {OWNER_ENV});

    const Calls calls = {"daemon-reload", "enable zembra-helper"};
    EXPECT_TRUE(result.exited_with(1));
    EXPECT_EQ(result.err, systemctl_echo(calls, "stderr") +
                              "Error: systemctl enable zembra-helper failed with exit status: 3\n");
    EXPECT_EQ(systemctl_calls(), calls);
    EXPECT_EQ(read_unit(), expected_unit(QUOTED_HELPER_PATH, OWNER_UID, OWNER_GID));
    EXPECT_EQ(mode_of(unit_path()), 0644u);
}

TEST_F(InstallTest, MissingSystemctlIsReportedAfterTheUnitIsWritten) {
    const std::string helper = place_helper();
    remove_systemctl();
    const ProcessResult result = run_helper(helper, {"install"}, {OWNER_ENV});
    EXPECT_TRUE(result.exited_with(1));
    EXPECT_EQ(result.err,
              "Error: run systemctl daemon-reload\n\nCaused by:\n"
              "    No such file or directory (os error 2)\n");
    EXPECT_EQ(read_unit(), expected_unit(QUOTED_HELPER_PATH, OWNER_UID, OWNER_GID));
}

TEST_F(InstallTest, ClosedStandardDescriptorsReachSystemctlOpenOnDevNull) {
    const std::string helper = place_helper();
    // sh closes stdin and stdout, then becomes the helper.
    ProcessOptions options;
    options.env = environment_with({"PATH=/run/install-sandbox/bin", OWNER_ENV}, {"SUDO_UID"});
    const ProcessResult result =
        run_process({"/bin/sh", "-c", "exec \"$0\" install <&- >&-", helper}, options);
    EXPECT_TRUE(result.exited_with(0)) << result.err;
    EXPECT_EQ(systemctl_calls().size(), 3u);
    EXPECT_EQ(systemctl_descriptor_notes(), "");
}

TEST_F(InstallTest, UninstallStopsQuietlyRemovesTheUnitAndReloads) {
    const std::string helper = place_helper();
    write_unit(expected_unit(QUOTED_HELPER_PATH, OWNER_UID, OWNER_GID));
    // A failing disable (unit unknown, service stopped) does not stop the removal.
    make_systemctl_fail("disable", 5);
    const ProcessResult result = run_helper(helper, {"uninstall"}, {OWNER_ENV});

    EXPECT_TRUE(result.exited_with(0)) << result.err;
    EXPECT_EQ(result.out, systemctl_echo({"daemon-reload"}, "stdout"));
    EXPECT_EQ(result.err, systemctl_echo({"daemon-reload"}, "stderr"));
    EXPECT_EQ(systemctl_calls(), (Calls{"disable --now zembra-helper", "daemon-reload"}));
    EXPECT_EQ(read_unit(), std::nullopt);
}

TEST_F(InstallTest, UninstallWithoutAUnitSucceedsWithoutReload) {
    const std::string helper = place_helper();
    const ProcessResult result = run_helper(helper, {"uninstall"});
    EXPECT_TRUE(result.exited_with(0)) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(systemctl_calls(), Calls{"disable --now zembra-helper"});
}

TEST_F(InstallTest, UninstallReportsAFailingReload) {
    const std::string helper = place_helper();
    write_unit("[Unit]\n");
    make_systemctl_fail("daemon-reload", 1);
    const ProcessResult result = run_helper(helper, {"uninstall"});
    EXPECT_TRUE(result.exited_with(1));
    EXPECT_EQ(result.err, systemctl_echo({"daemon-reload"}, "stderr") +
                              "Error: systemctl daemon-reload failed with exit status: 1\n");
    EXPECT_EQ(read_unit(), std::nullopt);
}

}  // namespace
}  // namespace zembra::test
