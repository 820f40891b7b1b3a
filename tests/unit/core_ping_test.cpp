#include "service/hub/core/ping.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <utility>

#include "core_fixture.hpp"
#include "service/hub/api/ping_request.hpp"
#include "service/hub/core/core_digest.hpp"
#include "service/hub/core/stop.hpp"
#include "service/linux/executable_path.hpp"

namespace zembra::hub::test {
namespace {

std::string header(const http::Response& response, std::string_view name) {
    const std::string* value = response.field(name);
    return value ? *value : "<absent>";
}

enum class Digest { Expected, UpperCase, Longer, Empty };
enum class CoreFile { Present, Changed, Missing, Fifo };

struct PingCase {
    const char* name;
    Digest digest;
    CoreFile core;
    // None: the ping succeeds with the helper's path.
    std::optional<Refused> refused;
    const char* log_line;
};

std::string digest_text(Digest digest) {
    std::string expected(EXPECTED_CORE_SHA256);
    switch (digest) {
        case Digest::Expected:
            return expected;
        case Digest::UpperCase:
            std::ranges::transform(expected, expected.begin(),
                                   [](char c) { return std::toupper(c); });
            return expected;
        case Digest::Longer:
            return expected + "0";
        case Digest::Empty:
            return "";
    }
    std::unreachable();
}

constexpr const char* MISSING = "No such file or directory (os error 2)";
const Refused MISMATCH = {CoreErrorKind::DigestMismatch, "Core SHA256 mismatch"};
constexpr const char* MISMATCH_LOG = "Helper ping rejected a Core SHA256 mismatch";

const PingCase PING_CASES[] = {
    {.name = "MatchingDigest",
     .digest = Digest::Expected,
     .core = CoreFile::Present,
     .refused = std::nullopt,
     .log_line = nullptr},
    {.name = "PingDoesNotHash",
     .digest = Digest::Expected,
     .core = CoreFile::Changed,
     .refused = std::nullopt,
     .log_line = nullptr},
    // Opened without waiting for a writer.
    {.name = "CoreIsAFifo",
     .digest = Digest::Expected,
     .core = CoreFile::Fifo,
     .refused = std::nullopt,
     .log_line = nullptr},
    {.name = "MissingCore",
     .digest = Digest::Expected,
     .core = CoreFile::Missing,
     .refused = Refused{CoreErrorKind::CoreNotInPlace, MISSING},
     .log_line = "Helper ping failed: No such file or directory (os error 2)"},
    {.name = "UpperCaseDigest",
     .digest = Digest::UpperCase,
     .core = CoreFile::Present,
     .refused = MISMATCH,
     .log_line = MISMATCH_LOG},
    {.name = "LongerDigest",
     .digest = Digest::Longer,
     .core = CoreFile::Present,
     .refused = MISMATCH,
     .log_line = MISMATCH_LOG},
    {.name = "EmptyDigest",
     .digest = Digest::Empty,
     .core = CoreFile::Missing,
     .refused = MISMATCH,
     .log_line = MISMATCH_LOG},
};

void PrintTo(const PingCase& c, std::ostream* out) {
    *out << c.name;
}

class CorePingCheck : public CoreFixture, public testing::WithParamInterface<PingCase> {};

TEST_P(CorePingCheck, ChecksTheDigestAndThatTheCoreIsInPlace) {
    const PingCase& c = GetParam();
    if (c.core == CoreFile::Missing) mount_over("tmpfs", core_directory(), "tmpfs");
    if (c.core == CoreFile::Changed) {
        std::ofstream("/tmp/changed-core") << "not the Core";
        mount_over("/tmp/changed-core", *core_path());
    }
    if (c.core == CoreFile::Fifo) {
        ASSERT_EQ(::mkfifo("/tmp/fifo-core", 0755), 0);
        mount_over("/tmp/fifo-core", *core_path());
    }
    const std::expected<std::string, CoreError> pinged =
        ping_core(PingParams{digest_text(c.digest)});
    EXPECT_EQ(refusal(pinged), c.refused);
    if (pinged) {
        EXPECT_EQ(*pinged, *service::current_executable_path());
    }
    EXPECT_EQ(log_lines(),
              c.log_line ? std::vector<std::string>{c.log_line} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, CorePingCheck, testing::ValuesIn(PING_CASES),
                         [](const testing::TestParamInfo<PingCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(PingResponse, ReplacesInvalidUtf8InThePath) {
    const http::Response ok = ping_response(std::string("/opt/z\xff/bin/ZembraHelperService"));
    EXPECT_EQ(ok.status, 200u);
    EXPECT_EQ(ok.body, "/opt/z\xef\xbf\xbd/bin/ZembraHelperService");
    const http::Response failed =
        ping_response(std::unexpected(Error("Helper ping task failed: x")));
    EXPECT_EQ(failed.status, 409u);
    EXPECT_EQ(failed.body, "Helper ping task failed: x");
    for (const http::Response* response : {&ok, &failed}) {
        EXPECT_EQ(header(*response, "content-type"), "text/plain; charset=utf-8");
        EXPECT_EQ(header(*response, "x-zembra-helper-protocol"), "6");
    }
}

using CorePing = CoreFixture;

TEST_F(CorePing, AnswersWhileAStopHoldsTheSlot) {
    const std::string address = owner_socket();
    set_mode(address, "ignore-term\n");
    ASSERT_TRUE(start(address, SESSION_A).has_value());
    std::this_thread::sleep_for(200ms);
    auto stop = std::async(std::launch::async, [] { return stop_core(StopParams{SESSION_A}); });
    std::this_thread::sleep_for(300ms);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(ping_core(PingParams{std::string(EXPECTED_CORE_SHA256)}).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_EQ(stop.wait_for(0s), std::future_status::timeout)
        << "the stop should still hold the slot";
    EXPECT_EQ(stop.get(), StopOutcome::Stopped);
}

}  // namespace
}  // namespace zembra::hub::test
