// SIGTERM and SIGINT end the service in order: connections drained for at most 3 s, the Core
// stopped, exit status 0, nothing printed. The exit times are measured from the first signal.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "e2e/api_fixture.hpp"
#include "support/core_address.hpp"
#include "support/footprint.hpp"
#include "support/h2_frames.hpp"
#include "support/unix_client.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds EXIT_BOUND = 10s;
constexpr std::string_view OTHER_SESSION_ID = "fedcba9876543210fedcba9876543210";

std::string start_json(const std::string& address, std::string_view session_id) {
    return "{\"address\":\"" + address + "\",\"sessionId\":\"" + std::string(session_id) + "\"}";
}

CurlRequest start_request(const CoreAddress& address, std::string_view session_id) {
    return {.method = "POST",
            .target = "/start",
            .body = start_json(address.path(), session_id),
            .content_type = "application/json"};
}

// Starts a Core over HTTP/1.1 that runs `commands` and then says "ready"; its process id once
// it has, so that a SIGTERM it is to ignore never finds it still at its default.
pid_t start_core(const CoreAddress& address, const std::string& commands,
                 std::string_view session_id = SESSION_ID) {
    address.set_core_commands(commands + "print ready\\n\n");
    const HttpAnswer started = curl_exchange(Protocol::Http1, start_request(address, session_id));
    EXPECT_EQ(started.status, 200) << started.body;
    const std::string prefix = "\"pid\":";
    const std::size_t at = started.body.find(prefix);
    if (at == std::string::npos) throw std::runtime_error("no pid in " + started.body);
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
        if (curl_exchange(Protocol::Http1, {.target = "/logs"}).body.ends_with("ready"))
            return static_cast<pid_t>(std::stol(started.body.substr(at + prefix.size())));
    }
    throw std::runtime_error("the Core never said it was ready");
}

bool process_exists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

ServiceExit exit_of(HelperService& helper) {
    const std::optional<ServiceExit> exit = helper.wait_for_exit(EXIT_BOUND);
    if (!exit) throw std::runtime_error("the helper did not exit within 10 s");
    return *exit;
}

void expect_quiet_success(const ServiceExit& exit) {
    EXPECT_TRUE(exit.exited_with(0)) << exit.wait_status;
    EXPECT_EQ(exit.out, "");
    EXPECT_EQ(exit.err, "");
}

// A POST on stream 1 of a fresh HTTP/2 connection, by hand, to see frames curl does not show.
std::string http2_post(std::string_view path, const std::string& body) {
    using namespace h2::hpack;
    const std::string fields = indexed(METHOD_POST) + indexed(SCHEME_HTTP) +
                               literal_unindexed(PATH, path) +
                               literal_unindexed(AUTHORITY, "localhost") +
                               literal_unindexed(CONTENT_LENGTH, std::to_string(body.size()));
    return h2::client_preface() + h2::frame(h2::HEADERS, h2::END_HEADERS, 1, fields) +
           h2::frame(h2::DATA, h2::END_STREAM, 1, body);
}

TEST(Shutdown, IdleServiceExitsAtOnceOnEitherSignal) {
    for (const int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
        HelperService helper;
        helper.signal(signal_number);
        const ServiceExit exit = exit_of(helper);
        expect_quiet_success(exit);
        EXPECT_LT(exit.elapsed, 1s);
    }
}

TEST(Shutdown, SocketFileStaysAfterExitAndNextStartReplacesIt) {
    struct stat first {};
    {
        HelperService helper;
        helper.signal(SIGTERM);
        expect_quiet_success(exit_of(helper));
        ASSERT_EQ(::stat(helper.socket_path().c_str(), &first), 0);
    }
    HelperService next;
    struct stat second {};
    ASSERT_EQ(::stat(next.socket_path().c_str(), &second), 0);
    EXPECT_NE(second.st_ino, first.st_ino);
    EXPECT_EQ(curl_exchange(Protocol::Http1, {.target = "/logs"}).status, 200);
}

TEST(Shutdown, IdleConnectionsCloseAtOnceAndDoNotDelayExit) {
    HelperService helper;
    UnixClient http1(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    http1.send("GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const UnixClient::Received answered = http1.receive_until_closed(500ms);
    ASSERT_TRUE(answered.bytes.starts_with("HTTP/1.1 200")) << answered.bytes;
    ASSERT_FALSE(answered.closed) << "kept alive";
    UnixClient http2(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    http2.send(h2::client_preface());
    ASSERT_FALSE(http2.receive_until_closed(500ms).closed);

    helper.signal(SIGTERM);
    const ServiceExit exit = exit_of(helper);
    expect_quiet_success(exit);
    EXPECT_LT(exit.elapsed, 1s);

    const UnixClient::Received http1_end = http1.receive_until_closed(1s);
    EXPECT_TRUE(http1_end.closed);
    EXPECT_EQ(http1_end.bytes, "");
    const UnixClient::Received http2_end = http2.receive_until_closed(1s);
    EXPECT_TRUE(http2_end.closed);
    bool goaway = false;
    for (const h2::Frame& frame : h2::parse_frames(http2_end.bytes))
        goaway = goaway || frame.type == h2::GOAWAY;
    EXPECT_TRUE(goaway);
}

// A Core that ignores SIGTERM makes a stop take about 3 s: long enough to be in flight when
// the signal comes, short enough to finish well within the grace when it started 1.5 s earlier.
class RequestInFlight : public testing::Test {
  protected:
    void SetUp() override { core = start_core(address, "ignore-term\n"); }

    void signal_while_the_stop_runs() {
        std::this_thread::sleep_for(1500ms);
        helper.signal(SIGTERM);
    }

    void expect_answered_within_grace() {
        const ServiceExit exit = exit_of(helper);
        expect_quiet_success(exit);
        EXPECT_GE(exit.elapsed, 1000ms);
        EXPECT_LT(exit.elapsed, 2900ms) << "the drain ended with the answered stop";
        EXPECT_FALSE(process_exists(core));
    }

    HelperService helper;
    CoreAddress address{11};
    pid_t core = 0;
};

TEST_F(RequestInFlight, IsAnsweredInFullOverHttp1) {
    auto stopping = std::async(std::launch::async, [] {
        return curl_exchange(Protocol::Http1,
                             {.method = "POST", .target = "/stop", .body = stop_json(SESSION_ID)});
    });
    signal_while_the_stop_runs();
    const HttpAnswer stopped = stopping.get();
    EXPECT_EQ(stopped.status, 200);
    EXPECT_EQ(stopped.body, "{\"sessionId\":\"" + std::string(SESSION_ID) + "\",\"stopped\":true}");
    expect_answered_within_grace();
}

TEST_F(RequestInFlight, IsAnsweredInFullOverHttp2AfterGoaway) {
    UnixClient client(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    client.send(http2_post("/stop", stop_json(SESSION_ID)));
    signal_while_the_stop_runs();
    const UnixClient::Received received = client.receive_until_closed(5s);
    EXPECT_TRUE(received.closed);

    const std::vector<h2::Frame> frames = h2::parse_frames(received.bytes);
    const auto position = [&](const auto& is) { return std::ranges::find_if(frames, is); };
    const auto goaway = position([](const h2::Frame& f) { return f.type == h2::GOAWAY; });
    const auto answer =
        position([](const h2::Frame& f) { return f.type == h2::HEADERS && f.stream_id == 1; });
    EXPECT_TRUE(goaway < answer) << "GOAWAY comes before the answer";
    EXPECT_EQ(h2::response_status(frames, 1), 200);
    bool ended = false;
    std::string body;
    for (const h2::Frame& frame : frames) {
        if (frame.type != h2::DATA || frame.stream_id != 1) continue;
        body += frame.payload;
        ended = ended || (frame.flags & h2::END_STREAM) != 0;
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(body, "{\"sessionId\":\"" + std::string(SESSION_ID) + "\",\"stopped\":true}");
    expect_answered_within_grace();
}

TEST(Shutdown, UnfinishedRequestDelaysExitByTheGraceAndGetsNoAnswer) {
    HelperService helper;
    UnixClient client(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    client.send(
        "POST /stop HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
        "Content-Length: 46\r\n\r\n{\"sessionId\":");
    std::this_thread::sleep_for(200ms);

    helper.signal(SIGTERM);
    std::this_thread::sleep_for(1s);
    // Draining: the file is still there, but the kernel refuses new connections.
    EXPECT_TRUE(std::filesystem::exists(helper.socket_path()));
    EXPECT_EQ(
        connect_as(helper.socket_path(),
                   {.uid = TEST_OWNER_UID, .gid = TEST_OWNER_GID, .supplementary_groups = {}}),
        PeerReaction::ConnectFailed);
    // Neither shortens nor restarts the drain, nor kills the process.
    helper.signal(SIGTERM);
    helper.signal(SIGINT);
    const ServiceExit exit = exit_of(helper);
    expect_quiet_success(exit);
    EXPECT_GE(exit.elapsed, 2900ms);
    EXPECT_LT(exit.elapsed, 5s);

    const UnixClient::Received received = client.receive_until_closed(1s);
    EXPECT_TRUE(received.closed);
    EXPECT_EQ(received.bytes, "");
}

TEST(Shutdown, RunningCoreIsGoneWhenTheHelperHasExited) {
    struct Case {
        const char* name;
        const char* core_commands;
        std::chrono::milliseconds at_least;
    };
    const Case cases[] = {
        {"Core that ends on SIGTERM", "", 0ms},
        {"Core that ignores SIGTERM", "ignore-term\n", 2900ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HelperService helper;
        const CoreAddress address(12);
        const pid_t core = start_core(address, c.core_commands);
        ASSERT_TRUE(process_exists(core));

        helper.signal(SIGTERM);
        const ServiceExit exit = exit_of(helper);
        expect_quiet_success(exit);
        EXPECT_GE(exit.elapsed, c.at_least);
        EXPECT_LT(exit.elapsed, 6s);
        EXPECT_FALSE(process_exists(core));
    }
}

// True once a process runs with `argument` on its command line.
bool process_with_argument(const std::string& argument) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        if (pid <= 0) continue;
        const std::optional<std::string> command_line = read_proc_entry(pid, "cmdline");
        if (command_line && command_line->find(argument) != std::string::npos &&
            command_line->find("MorvikCore") != std::string::npos)
            return true;
    }
    return false;
}

// The start's request head arrives before the signal and its body after, so its job reaches the
// Core slot while a stop holds it past the end of the drain; by then the flag is set.
TEST(Shutdown, StartWaitingForTheSlotWhenShutdownBeginsLaunchesNoCore) {
    HelperService helper;
    const CoreAddress first(13);
    start_core(first, "ignore-term\n");
    const CoreAddress second(14);
    second.set_core_commands("ignore-term\n");

    const auto head_now_body_later = [&](const std::string& target, const std::string& body) {
        auto client =
            std::make_unique<UnixClient>(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
        client->send("POST " + target +
                     " HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
                     "application/json\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n");
        return client;
    };
    const std::string stop_body = stop_json(SESSION_ID);
    const std::string start_body = start_json(second.path(), OTHER_SESSION_ID);
    auto stop = head_now_body_later("/stop", stop_body);
    auto start = head_now_body_later("/start", start_body);
    std::this_thread::sleep_for(200ms);

    helper.signal(SIGTERM);
    std::this_thread::sleep_for(500ms);
    stop->send(stop_body);  // holds the slot for about 3 s from here, past the 3 s drain
    std::this_thread::sleep_for(200ms);
    start->send(start_body);

    bool launched = false;
    while (!helper.wait_for_exit(20ms))
        launched = launched || process_with_argument(second.path());
    const ServiceExit exit = exit_of(helper);
    expect_quiet_success(exit);
    EXPECT_FALSE(launched);
    EXPECT_FALSE(process_with_argument(second.path()));
}

}  // namespace
}  // namespace zembra::test
