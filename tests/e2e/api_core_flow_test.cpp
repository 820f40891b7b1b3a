// A whole session as the desktop client runs it: start the Core, read its lines in the logs,
// stop it; over both protocols.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "e2e/api_fixture.hpp"
#include "support/core_address.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

using CoreFlow = ApiTest;

TEST_P(CoreFlow, StartLogsStop) {
    const CoreAddress address(7);
    address.set_core_commands("report\nprint ready\\n\n");

    const HttpAnswer started = ask({.method = "POST",
                                    .target = "/start",
                                    .body = start_json(address.path(), SESSION_ID),
                                    .content_type = "application/json"});
    ASSERT_EQ(started.status, 200) << started.body;
    EXPECT_EQ(started.field("content-type"), "application/json");
    const std::string prefix = "{\"sessionId\":\"" + std::string(SESSION_ID) + "\",\"pid\":";
    ASSERT_TRUE(started.body.starts_with(prefix)) << started.body;
    const std::string pid =
        started.body.substr(prefix.size(), started.body.size() - prefix.size() - 1);
    EXPECT_GT(std::stoi(pid), 1);
    EXPECT_EQ(started.body.back(), '}');

    HttpAnswer logs;
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
        logs = ask({.target = "/logs"});
        if (logs.body.ends_with("ready")) break;
    }
    EXPECT_EQ(logs.status, 200);
    EXPECT_EQ(logs.field("content-type"), "text/plain; charset=utf-8");
    EXPECT_EQ(logs.field("cache-control"), "no-store");
    // The Core runs with the owner's real ids and root's effective and saved ids.
    EXPECT_NE(logs.body.find("uid=4242,0,0\ngid=4242,0,0\n"), std::string::npos) << logs.body;
    const auto core = std::filesystem::path(helper_.executable()).parent_path() / "MorvikCore";
    EXPECT_NE(logs.body.find("argv=" + core.string() + "|" + address.path() + "\n"),
              std::string::npos)
        << logs.body;
    EXPECT_TRUE(logs.body.ends_with("\nready")) << logs.body;

    const HttpAnswer stopped =
        ask({.method = "POST", .target = "/stop", .body = stop_json(SESSION_ID)});
    EXPECT_EQ(stopped.status, 200);
    EXPECT_EQ(stopped.body, "{\"sessionId\":\"" + std::string(SESSION_ID) + "\",\"stopped\":true}");
    EXPECT_EQ(::kill(std::stoi(pid), 0), -1);

    const HttpAnswer again =
        ask({.method = "POST", .target = "/stop", .body = stop_json(SESSION_ID)});
    EXPECT_EQ(again.body, "{\"sessionId\":\"" + std::string(SESSION_ID) +
                              "\",\"stopped\":false,\"reason\":\"notRunning\"}");
    // A Core stopped on request leaves no exit line of its own.
    EXPECT_EQ(ask({.target = "/logs"}).body.find("Core exited on its own"), std::string::npos);
}

ZEMBRA_OVER_BOTH_PROTOCOLS(CoreFlow);

}  // namespace
}  // namespace zembra::test
