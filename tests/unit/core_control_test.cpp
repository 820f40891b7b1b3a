#include "service/hub/api/ping_request.hpp"
#include "service/hub/api/stop_request.hpp"

#include <algorithm>
#include <filesystem>
#include <future>

#include "core_fixture.hpp"
#include "service/hub/core/core_digest.hpp"
#include "service/linux/executable_path.hpp"

namespace zembra::hub::test {
namespace {

std::string upper(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](char c) { return std::toupper(c); });
    return out;
}

std::string header(const http::Response& response, std::string_view name) {
    const std::string* value = response.field(name);
    return value ? *value : "<absent>";
}

using CorePing = CoreFixture;

TEST_F(CorePing, ChecksTheDigestAndThatTheCoreIsInPlace) {
    enum class Core { Present, Changed, Missing };
    struct Case {
        const char* name;
        std::string digest;
        Core core;
        unsigned status;
        std::string body;
        std::string content_type;
        std::string log_line;
    };
    const std::string helper = *service::current_executable_path();
    const std::string expected(EXPECTED_CORE_SHA256);
    const std::string mismatch =
        R"({"code":"coreSha256Mismatch","message":"Core SHA256 mismatch"})";
    const std::string missing = "No such file or directory (os error 2)";
    const Case cases[] = {
        {"matching digest", expected, Core::Present, 200, helper, "text/plain; charset=utf-8", ""},
        {"ping does not hash", expected, Core::Changed, 200, helper, "text/plain; charset=utf-8",
         ""},
        {"missing Core", expected, Core::Missing, 409, missing, "text/plain; charset=utf-8",
         "Helper ping failed: " + missing},
        {"upper-case digest", upper(expected), Core::Present, 409, mismatch, "application/json",
         "Helper ping rejected a Core SHA256 mismatch"},
        {"longer digest", expected + "0", Core::Present, 409, mismatch, "application/json",
         "Helper ping rejected a Core SHA256 mismatch"},
        {"empty digest", "", Core::Missing, 409, mismatch, "application/json",
         "Helper ping rejected a Core SHA256 mismatch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.core == Core::Missing) mount_over("tmpfs", core_directory(), "tmpfs");
        if (c.core == Core::Changed) {
            std::ofstream("/tmp/changed-core") << "not the Core";
            mount_over("/tmp/changed-core", *core_path());
        }
        const http::Response response = ping_request(PingParams{c.digest});
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.body, c.body);
        EXPECT_EQ(header(response, "content-type"), c.content_type);
        EXPECT_EQ(header(response, "x-zembra-helper-protocol"), "6");
        EXPECT_EQ(log_lines(), c.log_line.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{c.log_line});
        TearDown();
        SetUp();
    }
}

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

TEST_F(CorePing, AnswersWhileAStopHoldsTheSlot) {
    const std::string address = owner_socket();
    set_mode(address, "ignore-term\n");
    ASSERT_EQ(start(address, SESSION_A).status, 200u);
    std::this_thread::sleep_for(200ms);
    auto stop = std::async(std::launch::async, [] { return stop_request(StopParams{SESSION_A}); });
    std::this_thread::sleep_for(300ms);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(ping_request(PingParams{std::string(EXPECTED_CORE_SHA256)}).status, 200u);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_EQ(stop.wait_for(0s), std::future_status::timeout)
        << "the stop should still hold the slot";
    EXPECT_EQ(stop.get().body, stop_body(SESSION_A, true, nullptr));
}

using CoreStop = CoreFixture;

TEST_F(CoreStop, StopsOnlyTheCoreOfItsSession) {
    EXPECT_EQ(stop_request(StopParams{"ABCDEF0123456789abcdef0123456789"}).body,
              R"({"code":"invalidRequest","message":"invalid Core session ID"})");
    http::Response response = stop_request(StopParams{SESSION_A});
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(response.body, stop_body(SESSION_A, false, "notRunning"));

    const std::string address = owner_socket();
    ASSERT_EQ(start(address, SESSION_A).status, 200u);
    const pid_t pid = slot_pid();
    response = stop_request(StopParams{SESSION_B});
    EXPECT_EQ(response.status, 409u);
    EXPECT_EQ(response.body, stop_body(SESSION_B, false, "sessionMismatch"));
    EXPECT_TRUE(process_exists(pid));
    EXPECT_EQ(slot_pid(), pid);

    response = stop_request(StopParams{SESSION_A});
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(response.body, stop_body(SESSION_A, true, nullptr));
    EXPECT_FALSE(process_exists(pid));
    EXPECT_EQ(stop_request(StopParams{SESSION_A}).body, stop_body(SESSION_A, false, "notRunning"));
    // The reader finds the slot empty: a stopped Core did not exit on its own.
    std::this_thread::sleep_for(1600ms);
    for (const std::string& line : log_lines())
        EXPECT_FALSE(line.starts_with("Core exited on its own")) << line;
}

TEST_F(CoreStop, KillsACoreThatIgnoresSigterm) {
    const std::string address = owner_socket();
    set_mode(address, "ignore-term\n");
    ASSERT_EQ(start(address, SESSION_A).status, 200u);
    std::this_thread::sleep_for(200ms);
    const auto begin = std::chrono::steady_clock::now();
    const http::Response response = stop_request(StopParams{SESSION_A});
    const auto took = std::chrono::steady_clock::now() - begin;
    std::cout << "[ figure ] stop of a Core that ignores SIGTERM: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
    EXPECT_EQ(response.body, stop_body(SESSION_A, true, nullptr));
    EXPECT_GE(took, 3s);
    EXPECT_LE(took, 4600ms);
}

TEST_F(CoreStop, AFailedReleaseIsAnsweredLoggedAndKeepsTheRecord) {
    *service::lock_surviving_poison(MANAGED_CORE) = reaped_core_record(SESSION_A);
    const pid_t pid = slot_pid();
    const std::string error = NO_CHILD_TEXT;
    const http::Response response = stop_request(StopParams{SESSION_A});
    EXPECT_EQ(response.status, 500u);
    EXPECT_EQ(response.body, R"({"code":"coreStopFailed","message":")" + error + "\"}");
    EXPECT_EQ(log_lines(),
              std::vector<std::string>{"Helper could not stop the managed Core: " + error});
    EXPECT_EQ(slot_pid(), pid);
    service::lock_surviving_poison(MANAGED_CORE)->reset();
}

}  // namespace
}  // namespace zembra::hub::test
