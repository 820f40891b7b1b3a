// hostile_client ROW HELPER_PID RESIDENT_LIMIT_MIB: one hostile client from
// tests/support/hostile_clients.hpp against the helper already serving /run/zembra/helper.sock,
// at a scale that ends within seconds, for bench/soak to run in loops. Runs as root and connects
// with the owner's ids (uid 4242). It ends early once the helper's resident memory passes the
// limit, so a run against a helper without bounds cannot take the machine's memory with it.
// Prints one line: the row and what the client saw. Exits 0 unless it could not run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "support/core_address.hpp"
#include "support/effective_ids.hpp"
#include "support/footprint.hpp"
#include "support/h2_client.hpp"
#include "support/hostile_clients.hpp"
#include "support/service.hpp"
#include "support/unix_client.hpp"

namespace {

using namespace zembra::test;
using namespace std::chrono_literals;

constexpr const char* SOCKET = "/run/zembra/helper.sock";
constexpr const char* SESSION_ID = "50a150a150a150a150a150a150a150a1";

// Starts a Core through the API; the soak's own start/stop cycles may replace it at any time.
// The address (and its control file) must last until the Core has read its commands.
std::unique_ptr<CoreAddress> start_core(unsigned address_number, const std::string& commands) {
    auto address = std::make_unique<CoreAddress>(address_number);
    address->set_core_commands(commands);
    const std::string body =
        "{\"address\":\"" + address->path() + "\",\"sessionId\":\"" + SESSION_ID + "\"}";
    const EffectiveIds owner(TEST_OWNER_UID, TEST_OWNER_GID);
    H2Client client(SOCKET);
    const std::int32_t stream =
        client.submit({.method = "POST",
                       .path = "/start",
                       .headers = {{"content-length", std::to_string(body.size())}},
                       .body = body});
    client.finish(stream, 10s);
    // Time for the Core to follow its commands (a full log buffer takes a moment).
    std::this_thread::sleep_for(2s);
    return address;
}

// A ping with the wrong digest logs one line, so that /logs answers have a body.
void log_one_line() {
    UnixClient client(SOCKET, TEST_OWNER_UID, TEST_OWNER_GID);
    client.send("GET /ping?coreSha256=" + std::string(64, '0') +
                " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    client.read_to_eof();
}

std::string long_lines() {
    std::string commands;
    for (int line = 0; line < 100; ++line)
        commands += "long 65536\n";
    return commands;
}

std::string start_body(const CoreAddress& address) {
    return "{\"address\":\"" + address.path() + "\",\"sessionId\":\"" + SESSION_ID + "\"}";
}

using Row = std::function<hostile::Outcome(const hostile::KeepGoing&)>;

const std::map<std::string, Row>& rows() {
    static const std::map<std::string, Row> table = {
        {"hpack-bomb",
         [](const hostile::KeepGoing& go) { return hostile::hpack_bomb(SOCKET, {}, go); }},
        {"bomb-unsent-body",
         [](const hostile::KeepGoing& go) {
             return hostile::hpack_bomb(SOCKET, {.streams = 8, .body_never_comes = true}, go);
         }},
        {"unread-logs",
         [](const hostile::KeepGoing& go) { return hostile::pipelined_logs(SOCKET, {}, go); }},
        {"full-logs-unread",
         [](const hostile::KeepGoing& go) {
             const auto address = start_core(201, long_lines());
             return hostile::pipelined_logs(SOCKET,
                                            {.requests = 150, .per_step = 10, .paced = true}, go);
         }},
        {"changing-logs-unread",
         [](const hostile::KeepGoing& go) {
             const auto address = start_core(203, long_lines());
             return hostile::unread_logs(SOCKET, 40, log_one_line, go);
         }},
        {"zero-window",
         [](const hostile::KeepGoing& go) {
             log_one_line();
             return hostile::pipelined_logs(SOCKET, {.read_answers = true, .zero_window = true},
                                            go);
         }},
        {"trailer-flood",
         [](const hostile::KeepGoing& go) { return hostile::trailer_flood(SOCKET, 90 << 20, go); }},
        {"stubborn-stops",
         [](const hostile::KeepGoing& go) {
             const auto address = start_core(202, "ignore-term\n");
             return hostile::parallel_stops(SOCKET, SESSION_ID, 1000, 10, go);
         }},
        {"idle-flood",
         [](const hostile::KeepGoing& go) {
             const auto idle = hostile::idle_connections(SOCKET, 2000);
             for (int tick = 0; tick < 100 && go(); ++tick)
                 std::this_thread::sleep_for(50ms);
             return hostile::Outcome{.requests_sent = idle.size()};
         }},
        {"slow-heads",
         [](const hostile::KeepGoing& go) { return hostile::slow_heads(SOCKET, 50, 40s, go); }},
        {"vanishing",
         [](const hostile::KeepGoing&) { return hostile::vanishing_clients(SOCKET, 100); }},
        {"abandoned-starts",
         [](const hostile::KeepGoing& go) {
             const CoreAddress address(204);
             return hostile::abandoned_starts(SOCKET, 3000, 100, start_body(address), go);
         }},
        {"unfinished-bodies",
         [](const hostile::KeepGoing& go) {
             return hostile::unfinished_bodies(SOCKET, 128, 100, 5s, go);
         }},
        {"replacing-starts",
         [](const hostile::KeepGoing& go) {
             const CoreAddress address(205);
             return hostile::replacing_starts(SOCKET, start_body(address), 400, 8, go);
         }},
        {"core-exit",
         [](const hostile::KeepGoing&) {
             const auto address = start_core(203, "close-stderr\nsleep 2500\nexit 3\n");
             std::this_thread::sleep_for(3s);
             return hostile::Outcome{.requests_sent = 1};
         }},
    };
    return table;
}

int usage() {
    std::fprintf(stderr, "usage: hostile_client ROW HELPER_PID RESIDENT_LIMIT_MIB\nrows:");
    for (const auto& [name, row] : rows())
        std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || !rows().contains(argv[1])) return usage();
    const pid_t helper = std::atoi(argv[2]);
    const std::size_t limit_kib = std::strtoull(argv[3], nullptr, 10) * 1024;
    const hostile::KeepGoing below_limit = [helper, limit_kib] {
        const std::optional<Footprint> footprint = read_footprint(helper);
        return footprint && footprint->resident_kib < limit_kib;
    };
    try {
        const hostile::Outcome outcome = rows().at(argv[1])(below_limit);
        std::printf("%s: %zu bytes, %zu requests, %zu answered 200, %zu closed by the helper%s\n",
                    argv[1], outcome.bytes_sent, outcome.requests_sent, outcome.answered_ok,
                    outcome.closed_by_helper, below_limit() ? "" : ", the helper above the limit");
        return 0;
    } catch (const std::exception& error) {
        std::printf("%s: %s\n", argv[1], error.what());
        return 1;
    }
}
