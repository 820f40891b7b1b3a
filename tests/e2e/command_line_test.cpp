// The process entry, run for real: the command line, service mode's owner environment, and the
// report on stderr with exit status 1.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/process.hpp"

namespace zembra::test {
namespace {

const std::vector<std::string> OWNER_VARIABLES = {"MORVIK_HELPER_OWNER_UID",
                                                  "MORVIK_HELPER_OWNER_GID"};

ProcessResult run_helper(std::vector<std::string> arguments,
                         const std::vector<std::string>& env = {}) {
    arguments.insert(arguments.begin(), ZEMBRA_HELPER_EXE);
    ProcessOptions options;
    options.env = environment_with(env, OWNER_VARIABLES);
    return run_process(arguments, options);
}

TEST(CommandLine, RefusesAnythingButOneKnownCommand) {
    struct Case {
        std::vector<std::string> arguments;
        const char* report;
    };
    const Case cases[] = {
        {{"start"}, "Error: unknown helper command: start\n"},
        {{"start", "install"}, "Error: unknown helper command: start\n"},
        {{"Install"}, "Error: unknown helper command: Install\n"},
        {{""}, "Error: unknown helper command: \n"},
        {{"\xff"
          "ab\xe2\x82"},
         "Error: unknown helper command: \xEF\xBF\xBD"
         "ab\xEF\xBF\xBD\n"},
        {{"install", ""}, "Error: helper accepts at most one command\n"},
        {{"uninstall", "now"}, "Error: helper accepts at most one command\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const ProcessResult result = run_helper(c.arguments);
        EXPECT_TRUE(result.exited_with(1));
        EXPECT_EQ(result.err, c.report);
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandLine, ServiceModeNeedsTheOwnerIds) {
    struct Case {
        std::vector<std::string> env;
        const char* report;
    };
    const Case cases[] = {
        {{},
         "Error: MORVIK_HELPER_OWNER_UID is not set\n\nCaused by:\n"
         "    environment variable not found\n"},
        {{"MORVIK_HELPER_OWNER_UID=1000"},
         "Error: MORVIK_HELPER_OWNER_GID is not set\n\nCaused by:\n"
         "    environment variable not found\n"},
        {{"MORVIK_HELPER_OWNER_UID=\xff", "MORVIK_HELPER_OWNER_GID=1000"},
         "Error: MORVIK_HELPER_OWNER_UID is not set\n\nCaused by:\n"
         "    environment variable was not valid unicode\n"},
        {{"MORVIK_HELPER_OWNER_UID=0", "MORVIK_HELPER_OWNER_GID=1000"},
         "Error: MORVIK_HELPER_OWNER_UID is not a usable ID\n\nCaused by:\n"
         "    expected a non-root ID\n"},
        {{"MORVIK_HELPER_OWNER_UID=1000", "MORVIK_HELPER_OWNER_GID=1e3"},
         "Error: MORVIK_HELPER_OWNER_GID is not a usable ID\n\nCaused by:\n"
         "    0: expected an unsigned ID\n    1: invalid digit found in string\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.env));
        const ProcessResult result = run_helper({}, c.env);
        EXPECT_TRUE(result.exited_with(1));
        EXPECT_EQ(result.err, c.report);
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandLine, ReportToAVanishedReaderIsNotKilledBySigpipe) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    char* argv[] = {const_cast<char*>(ZEMBRA_HELPER_EXE), const_cast<char*>("start"), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, ZEMBRA_HELPER_EXE, &actions, nullptr, argv, envp), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
}

}  // namespace
}  // namespace zembra::test
