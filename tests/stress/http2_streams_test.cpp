// HTTP/2 clients that try to make the helper hold memory for them: header blocks that decode
// to megabytes, answers that are never read, and a window that never opens.
#include <cstddef>
#include <ostream>
#include <string>

#include "stress/stress_case.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

struct BombCase {
    const char* name;
    hostile::BombOptions options;
};

void PrintTo(const BombCase& c, std::ostream* out) {
    *out << c.name;
}

class HpackBomb : public StressCase, public testing::WithParamInterface<BombCase> {};

// One connection: a refused stream costs the decoder's table and the connection's output.
TEST_P(HpackBomb, RefusesTheStreamWithoutKeepingItsList) {
    const hostile::Outcome outcome = hostile::hpack_bomb(
        socket(), GetParam().options,
        watch({queued_output_bound(1), THREAD_BOUND, DESCRIPTOR_ALLOWANCE + 1}));
    expect_bounds_held();
    EXPECT_GT(outcome.requests_sent, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, HpackBomb,
    testing::Values(BombCase{"Answered", {.streams = 20, .body_never_comes = false}},
                    BombCase{"BodyNeverComes", {.streams = 8, .body_never_comes = true}}),
    [](const testing::TestParamInfo<BombCase>& info) { return std::string(info.param.name); });

enum class LogsContent { Empty, OneLine, FullOfLongLines };

struct PipelineCase {
    const char* name;
    LogsContent logs;
    hostile::PipelineOptions options;
    std::size_t memory_growth_kib;
};

void PrintTo(const PipelineCase& c, std::ostream* out) {
    *out << c.name;
}

const PipelineCase PIPELINE_CASES[] = {
    // Nothing is read: what waits is the connection's output.
    {"AnswersNeverRead",
     LogsContent::Empty,
     {.requests = 200'000, .per_step = 1000},
     queued_output_bound(1)},
    // Every answer shares one copy of the buffer; at most one more while it is renewed.
    {"FullLogsNeverRead",
     LogsContent::FullOfLongLines,
     {.requests = 150, .per_step = 10, .paced = true},
     2 * FULL_LOGS_KIB + queued_output_bound(1)},
    // Answers read but their bodies held up by the window: only the streams the helper allows.
    {"WindowNeverOpens",
     LogsContent::OneLine,
     {.requests = 200'000, .per_step = 1000, .read_answers = true, .zero_window = true},
     queued_output_bound(1)},
};

class PipelinedLogs : public StressCase, public testing::WithParamInterface<PipelineCase> {
  protected:
    void fill_logs(LogsContent content) {
        if (content == LogsContent::OneLine) {
            log_one_line();
            ASSERT_FALSE(logs().empty());
        } else if (content == LogsContent::FullOfLongLines) {
            fill_logs_with_long_lines(core_address_);
        }
    }

    const CoreAddress core_address_{9};
};

TEST_P(PipelinedLogs, HoldsNoMoreThanTheConnectionMayQueue) {
    const PipelineCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(fill_logs(c.logs));
    const hostile::Outcome outcome = hostile::pipelined_logs(
        socket(), c.options, watch({c.memory_growth_kib, THREAD_BOUND, DESCRIPTOR_ALLOWANCE + 1}));
    expect_bounds_held();
    EXPECT_GT(outcome.requests_sent, 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, PipelinedLogs, testing::ValuesIn(PIPELINE_CASES),
                         [](const testing::TestParamInfo<PipelineCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zembra::test
