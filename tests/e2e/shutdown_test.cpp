// SIGTERM and SIGINT end the service in order: connections drained for at most 3 s, the Core
// stopped, exit status 0, nothing printed. The exit times are measured from the first signal.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "e2e/api_fixture.hpp"
#include "support/core_address.hpp"
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
    const HttpAnswer started = curl_exchange(Protocol::http1, start_request(address, session_id));
    EXPECT_EQ(started.status, 200) << started.body;
    const std::string prefix = "\"pid\":";
    const std::size_t at = started.body.find(prefix);
    if (at == std::string::npos) throw std::runtime_error("no pid in " + started.body);
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
        if (curl_exchange(Protocol::http1, {.target = "/logs"}).body.ends_with("ready"))
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
    std::printf("exit %.3f s after the first signal\n", exit->seconds());
    return *exit;
}

void expect_quiet_success(const ServiceExit& exit) {
    EXPECT_TRUE(exit.exited_with(0)) << exit.wait_status;
    EXPECT_EQ(exit.out, "");
    EXPECT_EQ(exit.err, "");
}

// Just enough HTTP/2 by hand to see frames curl does not show (GOAWAY).
namespace h2 {

constexpr std::uint8_t DATA = 0x0, HEADERS = 0x1, SETTINGS = 0x4, GOAWAY = 0x7;
constexpr std::uint8_t END_STREAM = 0x1, END_HEADERS = 0x4;
constexpr std::string_view PREFACE = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
// HPACK's static-table entry for ":status: 200", which servers send indexed.
constexpr char STATUS_200 = '\x88';

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  std::string_view payload) {
    std::string out;
    for (int shift : {16, 8, 0})
        out += static_cast<char>((payload.size() >> shift) & 0xff);
    out += static_cast<char>(type);
    out += static_cast<char>(flags);
    for (int shift : {24, 16, 8, 0})
        out += static_cast<char>((stream >> shift) & 0xff);
    out += payload;
    return out;
}

// HPACK literal fields without indexing, names and values shorter than 127 bytes.
std::string header_block(
    std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
    std::string block;
    for (const auto& [name, value] : fields) {
        block += '\0';
        block += static_cast<char>(name.size());
        block += name;
        block += static_cast<char>(value.size());
        block += value;
    }
    return block;
}

std::string connection_start() {
    return std::string(PREFACE) + frame(SETTINGS, 0, 0, "");
}

std::string post_on_stream_1(std::string_view path, const std::string& body) {
    const std::string length = std::to_string(body.size());
    return frame(HEADERS, END_HEADERS, 1,
                 header_block({{":method", "POST"},
                               {":scheme", "http"},
                               {":path", path},
                               {":authority", "localhost"},
                               {"content-length", length}})) +
           frame(DATA, END_STREAM, 1, body);
}

struct Frame {
    std::uint8_t type;
    std::uint8_t flags;
    std::uint32_t stream;
    std::string payload;
};

std::vector<Frame> frames_in(std::string_view bytes) {
    std::vector<Frame> frames;
    while (bytes.size() >= 9) {
        const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
        const std::size_t length = byte(0) << 16 | byte(1) << 8 | byte(2);
        if (bytes.size() < 9 + length) break;
        frames.push_back({byte(3), byte(4),
                          static_cast<std::uint32_t>((byte(5) & 0x7f) << 24 | byte(6) << 16 |
                                                     byte(7) << 8 | byte(8)),
                          std::string(bytes.substr(9, length))});
        bytes.remove_prefix(9 + length);
    }
    return frames;
}

}  // namespace h2

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
    EXPECT_EQ(curl_exchange(Protocol::http1, {.target = "/logs"}).status, 200);
}

TEST(Shutdown, IdleConnectionsCloseAtOnceAndDoNotDelayExit) {
    HelperService helper;
    UnixClient http1(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    http1.send("GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const UnixClient::Received answered = http1.receive_until_closed(500ms);
    ASSERT_TRUE(answered.bytes.starts_with("HTTP/1.1 200")) << answered.bytes;
    ASSERT_FALSE(answered.closed) << "kept alive";
    UnixClient http2(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    http2.send(h2::connection_start());
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
    for (const h2::Frame& frame : h2::frames_in(http2_end.bytes))
        goaway = goaway || frame.type == h2::GOAWAY;
    EXPECT_TRUE(goaway);
}

// A Core that ignores SIGTERM makes a stop take about 3 s: long enough to be in flight when
// the signal comes, short enough to finish within the grace when it started 1 s earlier.
class RequestInFlight : public testing::Test {
  protected:
    void SetUp() override { core = start_core(address, "ignore-term\n"); }

    void signal_after_a_second() {
        std::this_thread::sleep_for(1s);
        helper.signal(SIGTERM);
    }

    void expect_answered_within_grace() {
        const ServiceExit exit = exit_of(helper);
        expect_quiet_success(exit);
        EXPECT_GE(exit.elapsed, 1500ms);
        EXPECT_LT(exit.elapsed, 2900ms) << "the drain ended with the answered stop";
        EXPECT_FALSE(process_exists(core));
    }

    HelperService helper;
    CoreAddress address{11};
    pid_t core = 0;
};

TEST_F(RequestInFlight, IsAnsweredInFullOverHttp1) {
    auto stopping = std::async(std::launch::async, [] {
        return curl_exchange(Protocol::http1,
                             {.method = "POST", .target = "/stop", .body = stop_json(SESSION_ID)});
    });
    signal_after_a_second();
    const HttpAnswer stopped = stopping.get();
    EXPECT_EQ(stopped.status, 200);
    EXPECT_EQ(stopped.body, "{\"sessionId\":\"" + std::string(SESSION_ID) + "\",\"stopped\":true}");
    expect_answered_within_grace();
}

TEST_F(RequestInFlight, IsAnsweredInFullOverHttp2AfterGoaway) {
    UnixClient client(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    client.send(h2::connection_start() + h2::post_on_stream_1("/stop", stop_json(SESSION_ID)));
    signal_after_a_second();
    const UnixClient::Received received = client.receive_until_closed(5s);
    EXPECT_TRUE(received.closed);

    bool goaway_before_answer = false, status_200 = false, ended = false;
    std::string body;
    for (const h2::Frame& frame : h2::frames_in(received.bytes)) {
        if (frame.type == h2::GOAWAY) goaway_before_answer = !status_200;
        if (frame.type == h2::HEADERS && frame.stream == 1)
            status_200 = frame.payload.starts_with(h2::STATUS_200);
        if (frame.type == h2::DATA && frame.stream == 1) {
            body += frame.payload;
            ended = ended || (frame.flags & h2::END_STREAM) != 0;
        }
    }
    EXPECT_TRUE(goaway_before_answer);
    EXPECT_TRUE(status_200);
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
        std::ifstream file(entry.path() / "cmdline");
        std::string command_line((std::istreambuf_iterator<char>(file)), {});
        if (command_line.find(argument) != std::string::npos &&
            command_line.find("MorvikCore") != std::string::npos)
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
