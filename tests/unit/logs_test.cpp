#include "service/hub/api/logs_request.hpp"
#include "service/hub/core/log_buffer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/hub/core/stderr_reader.hpp"

namespace zembra::hub {
namespace {

constexpr std::size_t MAX = StderrLines::MAX_LINE;

TEST(LogLines, KeepTheLastHundredInOrder) {
    LogLines lines;
    EXPECT_EQ(lines.joined(), "");
    std::string expected;
    for (int i = 1; i <= 101; ++i) {
        lines.append("entry " + std::to_string(i));
        if (i >= 2) expected += (i == 2 ? "" : "\n") + ("entry " + std::to_string(i));
    }
    EXPECT_EQ(lines.joined(), expected);
}

TEST(LogLines, StoreLinesExactlyAsGiven) {
    LogLines lines;
    lines.append("");
    lines.append("  two\r");
    lines.append("");
    EXPECT_EQ(lines.joined(), "\n  two\r\n");
}

// Answers that are never read keep their snapshots; past the budget a new answer shares the
// newest of them instead of pinning one more copy, until enough of them are let go.
TEST(LogLines, SnapshotsHeldByAnswersStayWithinTheBudget) {
    LogLines lines(10);
    lines.append("aaaa");
    auto first = lines.snapshot();
    lines.append("b");
    auto second = lines.snapshot();  // 4 + 6 bytes: within
    EXPECT_EQ(*second, "aaaa\nb");
    lines.append("c");
    auto stale = lines.snapshot();  // 10 + 8 bytes: over, so the newest held is shared
    EXPECT_EQ(stale, second);
    first.reset();
    EXPECT_EQ(lines.snapshot(), second) << "6 + 8 bytes are still over";
    second.reset();
    stale.reset();
    const auto fresh = lines.snapshot();
    EXPECT_EQ(*fresh, "aaaa\nb\nc");
    EXPECT_EQ(lines.snapshot(), fresh);
    EXPECT_EQ(lines.joined(), "aaaa\nb\nc") << "the budget never drops a line";
}

TEST(Logs, GetLogsShowsLoggedLinesAsPlainUncachedText) {
    for (int i = 1; i <= 101; ++i)
        log_message("entry " + std::to_string(i));
    const http::Response response = get_logs();
    EXPECT_EQ(response.status, 200u);
    EXPECT_TRUE(response.body.view().starts_with("entry 2\nentry 3\n"));
    EXPECT_TRUE(response.body.view().ends_with("\nentry 101"));
    ASSERT_NE(response.field("Content-Type"), nullptr);
    EXPECT_EQ(*response.field("Content-Type"), "text/plain; charset=utf-8");
    ASSERT_NE(response.field("Cache-Control"), nullptr);
    EXPECT_EQ(*response.field("Cache-Control"), "no-store");
    EXPECT_EQ(get_logs().body.view(), response.body.view()) << "reading must not remove lines";
}

TEST(Logs, AnswersShareOneCopyUntilALineIsLogged) {
    log_message("one");
    const http::Response first = get_logs();
    const http::Response second = get_logs();
    EXPECT_EQ(first.body.view().data(), second.body.view().data());
    log_message("two");
    const http::Response third = get_logs();
    EXPECT_NE(third.body.view().data(), first.body.view().data());
    EXPECT_TRUE(third.body.view().ends_with("one\ntwo")) << third.body;
    EXPECT_TRUE(first.body.view().ends_with("one")) << "an answer given keeps its text";
}

struct LinesCase {
    std::string name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    bool capture_ends = false;  // a chunk reported an invalid line
};

std::vector<LinesCase> lines_cases() {
    const std::string a_max(MAX, 'a');
    return {
        {"crlf loses both, lone cr stays",
         {"a\r\n", "b\rc\n", "\n", "\r\n"},
         {"a", "b\rc", "", ""}},
        {"lines across chunks", {"ab", "c\r", "\nd"}, {"abc", "d"}},
        {"last line without newline", {"x\ny"}, {"x", "y"}},
        {"carriage return at end of input stays", {"x\r"}, {"x\r"}},
        {"nothing after the last newline", {"x\n"}, {"x"}},
        {"invalid utf-8 ends capture",
         {"ok\n",
          "b\xff"
          "d\nnever\n",
          "never\n"},
         {"ok"},
         true},
        {"line of exactly the cap", {a_max + "\n"}, {a_max}},
        {"long line capped, rest dropped", {a_max, "bbbb", "cc\r\nnext\n"}, {a_max, "next"}},
        {"cap never splits a character",
         {std::string(MAX - 1, 'a') + "\xc3\xa9" + "z\n"},
         {std::string(MAX - 1, 'a')}},
        {"cap keeps a character that fits",
         {std::string(MAX - 2, 'a') + "\xc3\xa9" + "z\n"},
         {std::string(MAX - 2, 'a') + "\xc3\xa9"}},
        {"capped line at end of input", {a_max + "tail"}, {a_max}},
    };
}

TEST(StderrLines, SplitsCapsAndValidates) {
    for (const LinesCase& c : lines_cases()) {
        SCOPED_TRACE(c.name);
        StderrLines splitter;
        std::vector<std::string> lines;
        const auto emit = [&](std::string line) { lines.push_back(std::move(line)); };
        bool ended = false;
        for (const std::string& chunk : c.chunks) {
            if (!splitter.feed(chunk, emit)) {
                ended = true;
                break;
            }
        }
        if (!ended) splitter.finish(emit);
        EXPECT_EQ(ended, c.capture_ends);
        ASSERT_EQ(lines.size(), c.lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i], c.lines[i]) << "line " << i;
    }
}

}  // namespace
}  // namespace zembra::hub
