#include "error.hpp"

#include <signal.h>

#include <gtest/gtest.h>

namespace zembra {
namespace {

TEST(ErrorText, ContextKeepsTheRootCausesOsError) {
    Error error = Error::os(ENOENT).context("read /x").context("start");
    EXPECT_EQ(error.text(), "start");
    EXPECT_EQ(error.causes(),
              (std::vector<std::string>{"read /x", "No such file or directory (os error 2)"}));
    EXPECT_EQ(error.os_error(), ENOENT);
    EXPECT_EQ(Error("not an OS error").context("read /x").os_error(), std::nullopt);
}

TEST(ErrorReport, Layouts) {
    struct Case {
        const char* name;
        Error error;
        const char* report;
    };
    const Case cases[] = {
        {"no cause", Error("unknown helper command: start"),
         "Error: unknown helper command: start\n"},
        {"one cause", Error("environment variable not found").context("X is not set"),
         "Error: X is not set\n\nCaused by:\n    environment variable not found\n"},
        {"two causes",
         Error("invalid digit found in string").context("expected an unsigned ID").context("G"),
         "Error: G\n\nCaused by:\n    0: expected an unsigned ID\n    1: invalid digit found in "
         "string\n"},
        {"multi-line single cause", Error("a\nb").context("top"),
         "Error: top\n\nCaused by:\n    a\n    b\n"},
        {"multi-line numbered causes", Error("c").context("a\nb").context("top"),
         "Error: top\n\nCaused by:\n    0: a\n       b\n    1: c\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(report(c.error), c.report);
    }
}

TEST(ExitStatusText, Table) {
    struct Case {
        int status;
        const char* text;
    };
    const Case cases[] = {
        {0, "exit status: 0"},
        {3 << 8, "exit status: 3"},
        {SIGTERM, "signal: 15 (SIGTERM)"},
        {SIGKILL, "signal: 9 (SIGKILL)"},
        {SIGSTKFLT, "signal: 16 (SIGSTKFLT)"},
        {SIGSYS, "signal: 31 (SIGSYS)"},
        {34, "signal: 34"},
        {SIGSEGV | 0x80, "signal: 11 (SIGSEGV) (core dumped)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(exit_status_text(c.status), c.text);
    }
}

}  // namespace
}  // namespace zembra
