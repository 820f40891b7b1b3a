// What the Core gets from the helper, read from /proc as root: its ids, a secure-execution
// start, only the standard descriptors, its directory, umask and open-file limit; and what its
// owner may and may not do to it. A Core that is a script starts as one that is not.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <elf.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/api_fixture.hpp"
#include "support/core_address.hpp"
#include "support/eventually.hpp"
#include "support/footprint.hpp"

namespace zembra::test {
namespace {

namespace fs = std::filesystem;

// The helper as systemd starts it: 1,024 open files of 4,096, which it raises for itself.
constexpr unsigned SOFT_OPEN_FILES = 1024;
constexpr unsigned HARD_OPEN_FILES = 4096;

HttpAnswer start(Protocol protocol, const CoreAddress& address) {
    return curl_exchange(protocol, {.method = "POST",
                                    .target = "/start",
                                    .body = start_json(address.path(), SESSION_ID),
                                    .content_type = "application/json"});
}

// The value of the /proc/PID/status line `key` ("Uid:"), tabs turned into spaces.
std::string status_line(pid_t pid, const std::string& key) {
    std::istringstream status(read_proc_entry(pid, "status").value_or(""));
    for (std::string line; std::getline(status, line);) {
        if (!line.starts_with(key)) continue;
        std::string value = line.substr(key.size());
        std::ranges::replace(value, '\t', ' ');
        return value.substr(value.find_first_not_of(' '));
    }
    return "<none>";
}

std::string secure_execution(pid_t pid) {
    const std::string auxv = read_proc_entry(pid, "auxv").value_or("");
    for (std::size_t at = 0; at + 2 * sizeof(Elf64_auxv_t::a_type) <= auxv.size();
         at += sizeof(Elf64_auxv_t)) {
        Elf64_auxv_t entry;
        auxv.copy(reinterpret_cast<char*>(&entry), sizeof entry, at);
        if (entry.a_type == AT_SECURE) return std::to_string(entry.a_un.a_val);
    }
    return "<none>";
}

std::string descriptors(pid_t pid) {
    std::vector<int> numbers;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        numbers.push_back(std::stoi(entry.path().filename()));
    std::ranges::sort(numbers);
    std::string listed;
    for (int number : numbers)
        listed += (listed.empty() ? "" : ",") + std::to_string(number);
    return listed;
}

std::string open_files_limit(pid_t pid) {
    std::istringstream limits(read_proc_entry(pid, "limits").value_or(""));
    for (std::string line; std::getline(limits, line);) {
        if (!line.starts_with("Max open files")) continue;
        std::istringstream fields(line.substr(14));
        std::string soft, hard;
        fields >> soft >> hard;
        return soft + " " + hard;
    }
    return "<none>";
}

// Runs `attempt` in a child under the owner's ids; its errno, or 0 when it succeeded.
int errno_as_owner(const std::function<int()>& attempt) {
    const pid_t child = ::fork();
    if (child == 0) {
        const gid_t gid = TEST_OWNER_GID;
        if (::setgroups(1, &gid) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(TEST_OWNER_UID, TEST_OWNER_UID, TEST_OWNER_UID) != 0)
            ::_exit(255);
        ::_exit(attempt());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

int result_errno(long result) {
    return result == 0 ? 0 : errno;
}

TEST(CoreEnvelope, IsWhatTheHelperSetsUpAndTheOwnerCannotReach) {
    ServiceOptions options;
    options.descriptor_limit = SOFT_OPEN_FILES;
    options.descriptor_hard_limit = HARD_OPEN_FILES;
    // The Core's umask is its own, whatever the helper was started with.
    const mode_t umask = ::umask(077);
    HelperService helper(options);
    ::umask(umask);
    const CoreAddress address(5);
    const HttpAnswer answer = start(Protocol::Http1, address);
    ASSERT_EQ(answer.status, 200) << answer.body;
    const pid_t core = started_pid(answer);
    ASSERT_GT(core, 0);
    const std::string owner = std::to_string(TEST_OWNER_UID);
    const std::string group = std::to_string(TEST_OWNER_GID);

    struct Fact {
        const char* name;
        std::function<std::string()> read;
        std::string expected;
    };
    const Fact facts[] = {
        {"uid: real, effective, saved, filesystem", [&] { return status_line(core, "Uid:"); },
         owner + " 0 0 0"},
        {"gid: real, effective, saved, filesystem", [&] { return status_line(core, "Gid:"); },
         group + " 0 0 0"},
        {"started in secure-execution mode", [&] { return secure_execution(core); }, "1"},
        {"descriptors", [&] { return descriptors(core); }, "0,1,2"},
        {"working directory",
         [&] { return fs::read_symlink("/proc/" + std::to_string(core) + "/cwd").string(); },
         fs::path(helper.executable()).parent_path().string()},
        {"umask", [&] { return status_line(core, "Umask:"); }, "0022"},
        {"open files, soft and hard", [&] { return open_files_limit(core); },
         std::to_string(SOFT_OPEN_FILES) + " " + std::to_string(HARD_OPEN_FILES)},
        {"the owner attaching a tracer",
         [&] {
             return std::to_string(errno_as_owner([&] {
                 const long attached = ::ptrace(PTRACE_ATTACH, core, nullptr, nullptr);
                 if (attached == 0) ::ptrace(PTRACE_DETACH, core, nullptr, nullptr);
                 return result_errno(attached);
             }));
         },
         std::to_string(EPERM)},
        {"the owner reading its environment",
         [&] {
             return std::to_string(errno_as_owner([&] {
                 return result_errno(
                     ::access(("/proc/" + std::to_string(core) + "/environ").c_str(), R_OK));
             }));
         },
         std::to_string(EACCES)},
        {"the owner reading its limits with prlimit",
         [&] {
             return std::to_string(errno_as_owner([&] {
                 rlimit limit{};
                 return result_errno(::prlimit(core, RLIMIT_NOFILE, nullptr, &limit));
             }));
         },
         std::to_string(EPERM)},
        {"the owner signalling it",
         [&] {
             return std::to_string(errno_as_owner([&] { return result_errno(::kill(core, 0)); }));
         },
         "0"},
    };
    for (const Fact& fact : facts) {
        SCOPED_TRACE(fact.name);
        EXPECT_EQ(fact.read(), fact.expected);
    }
    expect_clean_exit(helper);
}

struct CoreKind {
    const char* name;
    std::optional<std::string> helper_file;
    std::optional<std::string> core_file;
    const char* first_line;
};

const CoreKind CORE_KINDS[] = {
    {"Executable", std::nullopt, std::nullopt, "MorvikCore (demo) started for "},
    {"Script", ZEMBRA_SCRIPT_CORE_HELPER_EXE, ZEMBRA_SCRIPT_CORE,
     "MorvikCore (script) started for "},
};

void PrintTo(const CoreKind& kind, std::ostream* out) {
    *out << kind.name;
}

class CoreOfEachKind : public testing::TestWithParam<CoreKind> {};

// A script runs through the very descriptor that was hashed, as an executable does.
TEST_P(CoreOfEachKind, StartsAndStopsThroughTheApi) {
    ServiceOptions options;
    options.helper_file = GetParam().helper_file;
    options.core_file = GetParam().core_file;
    HelperService helper(options);
    const CoreAddress address(6);
    const HttpAnswer started = start(Protocol::Http2, address);
    ASSERT_EQ(started.status, 200) << started.body;
    const std::string line = GetParam().first_line + address.path();
    EXPECT_TRUE(eventually([&] {
        return curl_exchange(Protocol::Http1, {.target = "/logs"}).body.starts_with(line);
    })) << curl_exchange(Protocol::Http1, {.target = "/logs"}).body;
    const HttpAnswer stopped = curl_exchange(Protocol::Http1, {.method = "POST",
                                                               .target = "/stop",
                                                               .body = stop_json(SESSION_ID),
                                                               .content_type = "application/json"});
    EXPECT_EQ(stopped.body, "{\"sessionId\":\"" + std::string(SESSION_ID) + "\",\"stopped\":true}");
    expect_clean_exit(helper);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CoreOfEachKind, testing::ValuesIn(CORE_KINDS),
                         [](const testing::TestParamInfo<CoreKind>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zembra::test
