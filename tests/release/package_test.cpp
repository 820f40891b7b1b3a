// The Debian packages of the scratch release build (one with the demo Core, one with a Core file
// given as MORVIK_CORE_FILE): the files they hold with owners and modes, their control fields,
// lintian's verdict, and their contents run for real. Unpacked over /usr in the install
// sandbox, the helper installs from /usr/lib/zembra-helper and the prerm removes its unit; the
// helper serves and starts the Core it is packaged with.
#include <sys/mount.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/core_address.hpp"
#include "support/curl.hpp"
#include "support/install_sandbox.hpp"
#include "support/process.hpp"
#include "support/service.hpp"

namespace zembra::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* PACKAGED_HELPER = "/usr/lib/zembra-helper/ZembraHelperService";
constexpr const char* PACKAGED_CORE = "/usr/lib/zembra-helper/MorvikCore";
constexpr const char* SESSION_ID = "0123456789abcdef0123456789abcdef";

struct Build {
    const char* name;  // its directory under ZEMBRA_PACKAGES
    bool demo;         // made without MORVIK_CORE_FILE
};
constexpr Build BUILDS[] = {{"demo", true}, {"core-file", false}};

std::string output_of(const std::vector<std::string>& argv) {
    const ProcessResult result = run_process(argv);
    EXPECT_TRUE(result.exited_with(0)) << argv[0] << ": " << result.err;
    return result.out;
}

std::string trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

// The one package in the build's directory.
std::string package_of(const Build& build) {
    std::vector<std::string> packages;
    for (const auto& entry :
         fs::directory_iterator(std::string(ZEMBRA_PACKAGES) + "/" + build.name)) {
        if (entry.path().extension() == ".deb") packages.push_back(entry.path());
    }
    if (packages.size() != 1) {
        ADD_FAILURE() << packages.size() << " packages in " << build.name;
        return "";
    }
    return packages.front();
}

std::string field_of(const std::string& package, const std::string& field) {
    return trimmed(output_of({"dpkg-deb", "--field", package, field}));
}

std::string sha256_of(const std::string& path) {
    return output_of({"sha256sum", path}).substr(0, 64);
}

// The package's files, extracted under /tmp; the directory.
std::string unpacked(const Build& build) {
    const std::string directory = "/tmp/unpacked-" + std::string(build.name);
    output_of({"dpkg-deb", "--extract", package_of(build), directory});
    return directory;
}

TEST(Package, HoldsExactlyTheHelperTheCoreAndTheDocuments) {
    const std::set<std::string> expected = {
        "drwxr-xr-x root/root ./usr/",
        "drwxr-xr-x root/root ./usr/lib/",
        "drwxr-xr-x root/root ./usr/lib/zembra-helper/",
        "-rwxr-xr-x root/root ./usr/lib/zembra-helper/MorvikCore",
        "-rwxr-xr-x root/root ./usr/lib/zembra-helper/ZembraHelperService",
        "drwxr-xr-x root/root ./usr/share/",
        "drwxr-xr-x root/root ./usr/share/doc/",
        "drwxr-xr-x root/root ./usr/share/doc/zembra-helper/",
        "-rw-r--r-- root/root ./usr/share/doc/zembra-helper/api.md",
        "-rw-r--r-- root/root ./usr/share/doc/zembra-helper/changelog.gz",
        "-rw-r--r-- root/root ./usr/share/doc/zembra-helper/copyright",
        "-rw-r--r-- root/root ./usr/share/doc/zembra-helper/operations.md",
        "drwxr-xr-x root/root ./usr/share/man/",
        "drwxr-xr-x root/root ./usr/share/man/man8/",
        "-rw-r--r-- root/root ./usr/share/man/man8/ZembraHelperService.8.gz",
    };
    for (const Build& build : BUILDS) {
        SCOPED_TRACE(build.name);
        // "mode owner/group size date time path", one line per entry.
        std::istringstream listing(output_of({"dpkg-deb", "--contents", package_of(build)}));
        std::set<std::string> entries;
        for (std::string mode, owner, size, date, time, path;
             listing >> mode >> owner >> size >> date >> time >> path;)
            entries.insert(mode + " " + owner + " " + path);
        EXPECT_EQ(entries, expected);
    }
}

TEST(Package, ControlFieldsAndScripts) {
    const std::string architecture = trimmed(output_of({"dpkg", "--print-architecture"}));
    const std::string demo_note = "This is a demo build";
    for (const Build& build : BUILDS) {
        SCOPED_TRACE(build.name);
        const std::string package = package_of(build);
        EXPECT_EQ(fs::path(package).filename(),
                  std::string("zembra-helper_") + ZEMBRA_VERSION + "_" + architecture + ".deb");
        EXPECT_EQ(field_of(package, "Package"), "zembra-helper");
        EXPECT_EQ(field_of(package, "Version"), ZEMBRA_VERSION);
        EXPECT_EQ(field_of(package, "Architecture"), architecture);
        EXPECT_EQ(field_of(package, "Section"), "admin");
        EXPECT_EQ(field_of(package, "Priority"), "optional");
        EXPECT_NE(field_of(package, "Maintainer"), "");
        const std::string description = field_of(package, "Description");
        EXPECT_EQ(description.find(demo_note) != std::string::npos, build.demo) << description;
        EXPECT_TRUE(
            description.ends_with("The helper starts only the MorvikCore whose SHA-256 is\n " +
                                  sha256_of(unpacked(build) + PACKAGED_CORE)))
            << description;

        // From the libraries the helper and the Core link, each with Debian's own constraint.
        std::set<std::string> depends;
        std::istringstream list(field_of(package, "Depends"));
        for (std::string item; std::getline(list, item, ',');) {
            std::istringstream words(item);
            std::string name, constraint;
            words >> name >> constraint;
            EXPECT_EQ(constraint, "(>=") << item;
            depends.insert(name);
        }
        EXPECT_EQ(depends, (std::set<std::string>{"libboost-json1.81.0", "libc6", "libgcc-s1",
                                                  "libnghttp2-14", "libssl3", "libstdc++6"}));

        // No script writes, enables or starts a unit; only the prerm removes one.
        const std::string control = "/tmp/control-" + std::string(build.name);
        output_of({"dpkg-deb", "--control", package, control});
        std::set<std::string> members;
        for (const auto& entry : fs::directory_iterator(control))
            members.insert(entry.path().filename());
        EXPECT_EQ(members, (std::set<std::string>{"control", "md5sums", "prerm"}));
        EXPECT_EQ(fs::status(control + "/prerm").permissions(), static_cast<fs::perms>(0755));
        EXPECT_EQ(read_file(control + "/prerm"),
                  read_file(std::string(ZEMBRA_SOURCE_DIR) + "/cmake/debian/prerm"));
    }
}

TEST(Package, LintianFindsNoErrorOrWarning) {
    for (const Build& build : BUILDS) {
        SCOPED_TRACE(build.name);
        const ProcessResult lintian =
            run_process({"lintian", "--fail-on", "error,warning", package_of(build)});
        EXPECT_TRUE(lintian.exited_with(0)) << lintian.out << lintian.err;
    }
}

// The package unpacked over /usr, as dpkg would leave it, in the install sandbox; nothing of the
// machine's /usr changes outside this test's mount namespace.
class PackageInstalled : public InstallSandbox {
  protected:
    static constexpr const char* UNPACKED = "/run/install-sandbox/package";
    static constexpr const char* OVERLAY_WORK = "/run/install-sandbox/overlay-work";

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(InstallSandbox::SetUp());
        for (const Build& build : BUILDS) {
            if (!build.demo) package_ = package_of(build);
        }
        output_of({"dpkg-deb", "--extract", package_, UNPACKED});
        output_of({"dpkg-deb", "--control", package_, std::string(UNPACKED) + "-control"});
        fs::create_directories(OVERLAY_WORK);
        const std::string options =
            std::string("lowerdir=/usr,upperdir=") + UNPACKED + "/usr,workdir=" + OVERLAY_WORK;
        ASSERT_EQ(::mount("overlay", "/usr", "overlay", 0, options.c_str()), 0)
            << std::strerror(errno);
        overlaid_ = true;
    }

    void TearDown() override {
        if (overlaid_) {
            EXPECT_EQ(::umount2("/usr", MNT_DETACH), 0) << std::strerror(errno);
        }
        InstallSandbox::TearDown();
    }

    // Runs the package's prerm as dpkg would, with the sandbox's systemctl first on PATH.
    ProcessResult run_prerm(const std::string& action) {
        ProcessOptions options;
        options.env = environment_with({"PATH=/run/install-sandbox/bin:/usr/bin:/bin"},
                                       {"PKEXEC_UID", "SUDO_UID"});
        return run_process({"/bin/sh", std::string(UNPACKED) + "-control/prerm", action}, options);
    }

    std::string package_;

  private:
    bool overlaid_ = false;
};

TEST_F(PackageInstalled, HelperInstallsFromItsPackagedPlace) {
    const ProcessResult result =
        run_helper(PACKAGED_HELPER, {"install"}, {"PKEXEC_UID=" + std::to_string(OWNER_UID)});
    EXPECT_TRUE(result.exited_with(0)) << result.err;
    EXPECT_EQ(systemctl_calls(), (std::vector<std::string>{"daemon-reload", "enable zembra-helper",
                                                           "restart zembra-helper"}));
    EXPECT_EQ(read_unit(),
              expected_unit(std::string("\"") + PACKAGED_HELPER + "\"", OWNER_UID, OWNER_GID));
    EXPECT_EQ(verify_unit(), "");
}

TEST_F(PackageInstalled, PrermUninstallsOnlyTheUnitOfThePackagedHelperOnRemoval) {
    const std::string packaged_unit =
        expected_unit(std::string("\"") + PACKAGED_HELPER + "\"", OWNER_UID, OWNER_GID);
    const std::string other_unit =
        expected_unit("\"/opt/zembra/ZembraHelperService\"", OWNER_UID, OWNER_GID);
    const std::vector<std::string> uninstalled = {"disable --now zembra-helper", "daemon-reload"};
    struct Case {
        const char* name;
        const char* action;
        std::optional<std::string> unit;
        std::vector<std::string> calls;
        bool unit_removed;
    };
    const Case cases[] = {
        {"removal", "remove", packaged_unit, uninstalled, true},
        {"upgrade", "upgrade", packaged_unit, {}, false},
        {"unit of a helper elsewhere", "remove", other_unit, {}, false},
        {"no unit", "remove", std::nullopt, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove("/run/install-sandbox/systemctl-calls");
        if (c.unit) write_unit(*c.unit);
        const ProcessResult prerm = run_prerm(c.action);
        EXPECT_TRUE(prerm.exited_with(0)) << prerm.err;
        EXPECT_EQ(systemctl_calls(), c.calls);
        EXPECT_EQ(read_unit(), c.unit_removed ? std::nullopt : c.unit);
        fs::remove(unit_path());
    }
}

TEST_F(PackageInstalled, PrermStopsTheRemovalOnlyWhileTheUnitStays) {
    write_unit(expected_unit(std::string("\"") + PACKAGED_HELPER + "\"", OWNER_UID, OWNER_GID));
    // Without a running systemd the reload fails, but the unit is gone: the removal goes on.
    make_systemctl_fail("daemon-reload", 1);
    ProcessResult prerm = run_prerm("remove");
    EXPECT_TRUE(prerm.exited_with(0)) << prerm.err;
    EXPECT_EQ(read_unit(), std::nullopt);

    // A unit that cannot be removed would leave systemd restarting a missing executable.
    write_unit(expected_unit(std::string("\"") + PACKAGED_HELPER + "\"", OWNER_UID, OWNER_GID));
    ASSERT_EQ(::mount(nullptr, "/etc/systemd/system", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    prerm = run_prerm("remove");
    ASSERT_EQ(::mount(nullptr, "/etc/systemd/system", nullptr, MS_REMOUNT, nullptr), 0)
        << std::strerror(errno);
    EXPECT_TRUE(prerm.exited_with(1));
    EXPECT_NE(prerm.err.find("Error: remove /etc/systemd/system/zembra-helper.service"),
              std::string::npos)
        << prerm.err;
    EXPECT_NE(prerm.err.find("zembra-helper: could not remove "
                             "/etc/systemd/system/zembra-helper.service; see the error above"),
              std::string::npos)
        << prerm.err;
}

TEST(PackagedService, StartsTheCoreItIsPackagedWith) {
    for (const Build& build : BUILDS) {
        SCOPED_TRACE(build.name);
        const std::string directory = unpacked(build);
        const std::string core = directory + PACKAGED_CORE;
        if (!build.demo) {
            EXPECT_EQ(read_file(core), read_file(ZEMBRA_MORVIK_CORE_FILE));
        }

        ServiceOptions options;
        options.core_file = core;
        options.helper_file = directory + PACKAGED_HELPER;
        HelperService helper(options);
        const HttpAnswer ping =
            curl_exchange(Protocol::Http2, {.target = "/ping?coreSha256=" + sha256_of(core)});
        EXPECT_EQ(ping.status, 200) << ping.body;

        const CoreAddress address(1);
        const std::string session = std::string("\"sessionId\":\"") + SESSION_ID + "\"";
        const HttpAnswer started = curl_exchange(
            Protocol::Http1, {.method = "POST",
                              .target = "/start",
                              .body = "{\"address\":\"" + address.path() + "\"," + session + "}"});
        EXPECT_EQ(started.status, 200) << started.body;
        const HttpAnswer stopped = curl_exchange(
            Protocol::Http1, {.method = "POST", .target = "/stop", .body = "{" + session + "}"});
        EXPECT_EQ(stopped.body, "{" + session + ",\"stopped\":true}");
    }
}

}  // namespace
}  // namespace zembra::test
