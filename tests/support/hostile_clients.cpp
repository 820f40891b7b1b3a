#include "support/hostile_clients.hpp"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "support/effective_ids.hpp"
#include "support/h2_client.hpp"
#include "support/h2_frames.hpp"
#include "support/service.hpp"

namespace zembra::test::hostile {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A helper that takes nothing for this long is pushing back; the client stops there.
constexpr auto STALL_BOUND = 2s;
// Time the helper gets to act on one step before the client looks at its footprint again.
constexpr auto STEP_PAUSE = 200ms;
// How long a client stays connected after its last step, so what the helper holds for it is seen.
constexpr auto HOLD_TIME = 1s;
// How often a waiting client asks whether to go on.
constexpr auto ASK_INTERVAL = 20ms;
// Generous: a refusal decided on the head is answered at once.
constexpr auto ANSWER_BOUND = 5s;
// The stubborn Core's stop takes up to 4.5 s; the queued ones are quick after it.
constexpr auto STOPS_BOUND = 30s;

// The largest value whose entry fits HPACK's default 4 KiB dynamic table.
constexpr std::string_view BOMB_NAME = "x-bomb";
constexpr std::size_t BOMB_VALUE_SIZE = 4096 - h2::hpack::ENTRY_OVERHEAD - BOMB_NAME.size();
constexpr std::string_view DECLARED_BODY = "100";

std::unique_ptr<UnixClient> owner_connection(const std::string& socket) {
    return std::make_unique<UnixClient>(socket, TEST_OWNER_UID, TEST_OWNER_GID);
}

bool ended_by_helper(const RawConnection& connection) {
    return connection.closed() || connection.send_failed();
}

// Reads what has arrived and forgets it: these clients only need to see the helper close.
void drop_arrived(RawConnection& connection) {
    connection.read_available();
    connection.take_received();
}

// Sends all of `bytes` unless the helper stalls or fails; counts what went out.
bool send_step(RawConnection& connection, std::string_view bytes, Outcome& outcome) {
    const std::size_t sent = connection.send_until(bytes, Clock::now() + STALL_BOUND);
    outcome.bytes_sent += sent;
    return sent == bytes.size();
}

// Waits `duration`, dropping whatever arrives when `read` is set; false when told to stop or
// the helper ended the connection.
bool wait_on(RawConnection& connection, std::chrono::milliseconds duration, bool read,
             const KeepGoing& keep_going) {
    const auto until = Clock::now() + duration;
    while (Clock::now() < until) {
        if (!keep_going()) return false;
        if (read) drop_arrived(connection);
        if (ended_by_helper(connection)) return false;
        std::this_thread::sleep_for(ASK_INTERVAL);
    }
    return true;
}

std::string bomb_block(bool body_never_comes) {
    using namespace h2::hpack;
    std::string block = indexed(body_never_comes ? METHOD_POST : METHOD_GET) +
                        indexed(SCHEME_HTTP) +
                        literal_unindexed(PATH, body_never_comes ? "/stop" : "/logs") +
                        literal_unindexed(AUTHORITY, "localhost");
    if (body_never_comes) block += literal_unindexed(CONTENT_LENGTH, DECLARED_BODY);
    block += literal_indexed(BOMB_NAME, std::string(BOMB_VALUE_SIZE, 'a'));
    const std::string reference = indexed(NEWEST_DYNAMIC_ENTRY);
    while (block.size() + reference.size() <= h2::DEFAULT_MAX_FRAME_PAYLOAD)
        block += reference;
    return block;
}

// GET /logs: the first block puts :path and :authority into the dynamic table, so every later
// block is four indices.
std::string logs_block(std::uint32_t stream_id) {
    using namespace h2::hpack;
    const std::string method_and_scheme = indexed(METHOD_GET) + indexed(SCHEME_HTTP);
    if (stream_id == 1) {
        return method_and_scheme + literal_indexed(AUTHORITY, "localhost") +
               literal_indexed(PATH, "/logs");
    }
    return method_and_scheme + indexed(NEWEST_DYNAMIC_ENTRY) + indexed(NEWEST_DYNAMIC_ENTRY + 1);
}

std::string logs_requests(std::uint32_t& next_stream_id, std::size_t count) {
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i, next_stream_id += 2) {
        bytes += h2::frame(h2::HEADERS, h2::END_HEADERS | h2::END_STREAM, next_stream_id,
                           logs_block(next_stream_id));
    }
    return bytes;
}

H2Request stop_request(const std::string& session_id) {
    return json_post("/stop", "{\"sessionId\":\"" + session_id + "\"}");
}

// Exchanges frames on every client in turn until each listed stream has ended.
bool pump_until_answered(const std::vector<std::unique_ptr<H2Client>>& clients,
                         const std::vector<std::pair<H2Client*, std::int32_t>>& streams,
                         Clock::time_point deadline, const KeepGoing& keep_going) {
    const auto all_ended = [&] {
        return std::ranges::all_of(streams, [](const auto& stream) {
            return stream.first->response(stream.second).closed;
        });
    };
    while (!all_ended()) {
        if (Clock::now() >= deadline || !keep_going()) return false;
        for (const auto& client : clients)
            client->run_until([] { return false; }, 10ms);
    }
    return true;
}

}  // namespace

Outcome hpack_bomb(const std::string& socket, const BombOptions& options,
                   const KeepGoing& keep_going) {
    const std::unique_ptr<UnixClient> connection = owner_connection(socket);
    Outcome outcome;
    if (!send_step(*connection, h2::client_preface({}), outcome)) return outcome;
    const std::string block = bomb_block(options.body_never_comes);
    const std::uint8_t flags = h2::END_HEADERS | (options.body_never_comes ? 0 : h2::END_STREAM);
    for (std::uint32_t stream_id = 1; outcome.requests_sent < options.streams; stream_id += 2) {
        if (!send_step(*connection, h2::frame(h2::HEADERS, flags, stream_id, block), outcome))
            break;
        ++outcome.requests_sent;
        if (!wait_on(*connection, STEP_PAUSE, true, keep_going)) break;
    }
    wait_on(*connection, HOLD_TIME, true, keep_going);
    outcome.closed_by_helper = ended_by_helper(*connection);
    return outcome;
}

Outcome pipelined_logs(const std::string& socket, const PipelineOptions& options,
                       const KeepGoing& keep_going) {
    const std::unique_ptr<UnixClient> connection = owner_connection(socket);
    Outcome outcome;
    std::vector<std::pair<std::uint16_t, std::uint32_t>> settings;
    if (options.zero_window) settings.emplace_back(h2::SETTINGS_INITIAL_WINDOW_SIZE, 0);
    if (!send_step(*connection, h2::client_preface(settings), outcome)) return outcome;
    std::uint32_t next_stream_id = 1;
    while (outcome.requests_sent < options.requests && keep_going()) {
        const std::size_t count =
            std::min(options.per_step, options.requests - outcome.requests_sent);
        if (!send_step(*connection, logs_requests(next_stream_id, count), outcome)) break;
        outcome.requests_sent += count;
        if (options.read_answers) drop_arrived(*connection);
        if (ended_by_helper(*connection)) break;
        if (options.paced && !wait_on(*connection, STEP_PAUSE, options.read_answers, keep_going))
            break;
    }
    wait_on(*connection, HOLD_TIME, options.read_answers, keep_going);
    outcome.closed_by_helper = ended_by_helper(*connection);
    return outcome;
}

Outcome trailer_flood(const std::string& socket, std::size_t trailer_bytes,
                      const KeepGoing& keep_going) {
    const std::unique_ptr<UnixClient> connection = owner_connection(socket);
    Outcome outcome;
    const std::string head =
        "POST /stop HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
        "Transfer-Encoding: chunked\r\n\r\n";
    if (!send_step(*connection, head, outcome)) return outcome;
    outcome.requests_sent = 1;
    const std::string& answer = connection->read_until("\r\n\r\n", ANSWER_BOUND);
    if (!answer.starts_with("HTTP/1.1 411 "))
        throw std::runtime_error("a chunked POST /stop was not refused with 411: " +
                                 answer.substr(0, 200));

    const std::string line = "x-trailer: " + std::string(78, 'a') + "\r\n";
    std::string lines;
    while (lines.size() + line.size() <= 64 * 1024)
        lines += line;
    const std::size_t goal = outcome.bytes_sent + trailer_bytes;
    for (std::string step = "0\r\n" + lines; outcome.bytes_sent < goal && keep_going();
         step = lines) {
        if (!send_step(*connection, step, outcome)) break;
        drop_arrived(*connection);
        if (connection->closed()) break;
    }
    // A helper that stops reading may close a moment later.
    if (!ended_by_helper(*connection)) connection->read_to_eof(STALL_BOUND);
    outcome.closed_by_helper = ended_by_helper(*connection);
    return outcome;
}

Outcome parallel_stops(const std::string& socket, const std::string& session_id,
                       std::size_t parallel, std::size_t connections, const KeepGoing& keep_going) {
    std::vector<std::unique_ptr<H2Client>> clients;
    for (std::size_t i = 0; i <= connections; ++i) {
        const EffectiveIds owner(TEST_OWNER_UID, TEST_OWNER_GID);
        clients.push_back(std::make_unique<H2Client>(socket));
    }
    const H2Request stop = stop_request(session_id);
    std::vector<std::pair<H2Client*, std::int32_t>> streams;
    streams.emplace_back(clients[0].get(), clients[0]->submit(stop));
    // The first stop takes the Core's slot before the crowd arrives.
    pump_until_answered(clients, streams, Clock::now() + 300ms, keep_going);
    for (std::size_t i = 0; i < parallel && keep_going(); ++i) {
        H2Client* client = clients[1 + i % connections].get();
        streams.emplace_back(client, client->submit(stop));
    }
    pump_until_answered(clients, streams, Clock::now() + STOPS_BOUND, keep_going);
    Outcome outcome;
    outcome.requests_sent = streams.size();
    for (const auto& [client, stream_id] : streams) {
        outcome.answered_ok += client->response(stream_id).status == 200;
        outcome.answered_busy += client->response(stream_id).status == 503;
    }
    for (const auto& client : clients)
        outcome.closed_by_helper += client->connection_closed();
    return outcome;
}

Outcome abandoned_starts(const std::string& socket, std::size_t connections, std::size_t starts,
                         const std::string& start_body, const KeepGoing& keep_going) {
    std::string bytes = h2::client_preface({});
    for (std::uint32_t stream_id = 1; stream_id < 2 * starts; stream_id += 2) {
        bytes += h2::frame(h2::HEADERS, h2::END_HEADERS, stream_id,
                           h2::post_fields("/start", start_body.size())) +
                 h2::frame(h2::DATA, h2::END_STREAM, stream_id, start_body);
    }
    Outcome outcome;
    for (std::size_t i = 0; i < connections && keep_going(); ++i) {
        const std::unique_ptr<UnixClient> connection = owner_connection(socket);
        if (send_step(*connection, bytes, outcome)) outcome.requests_sent += starts;
    }
    return outcome;
}

Outcome unfinished_bodies(const std::string& socket, std::size_t connections, std::size_t streams,
                          std::chrono::milliseconds hold, const KeepGoing& keep_going) {
    constexpr std::size_t DECLARED = 4096;
    constexpr std::size_t SENT = 4000;
    constexpr std::size_t FIELDS = 97;
    std::string near_limit_fields;
    for (std::size_t i = 0; i < FIELDS; ++i) {
        near_limit_fields +=
            h2::hpack::literal_unindexed_name("x-field-" + std::to_string(i), std::string(20, 'v'));
    }
    const std::string head = h2::post_fields("/start", DECLARED) + near_limit_fields;
    const std::string body(SENT, ' ');
    std::vector<std::unique_ptr<UnixClient>> held;
    Outcome outcome;
    for (std::size_t i = 0; i < connections && keep_going(); ++i) {
        held.push_back(owner_connection(socket));
        if (!send_step(*held.back(), h2::client_preface({}), outcome)) break;
        for (std::uint32_t stream_id = 1; stream_id < 2 * streams && keep_going(); stream_id += 2) {
            if (!send_step(*held.back(),
                           h2::frame(h2::HEADERS, h2::END_HEADERS, stream_id, head) +
                               h2::frame(h2::DATA, 0, stream_id, body),
                           outcome))
                break;
            ++outcome.requests_sent;
            drop_arrived(*held.back());
        }
    }
    if (!held.empty()) wait_on(*held.back(), hold, true, keep_going);
    for (const auto& connection : held)
        outcome.closed_by_helper += ended_by_helper(*connection);
    return outcome;
}

Outcome replacing_starts(const std::string& socket, const std::string& start_body,
                         std::size_t starts, std::size_t parallel, const KeepGoing& keep_going) {
    std::vector<std::unique_ptr<H2Client>> clients;
    for (std::size_t i = 0; i < parallel; ++i) {
        const EffectiveIds owner(TEST_OWNER_UID, TEST_OWNER_GID);
        clients.push_back(std::make_unique<H2Client>(socket));
    }
    const H2Request start = json_post("/start", start_body);
    Outcome outcome;
    std::vector<std::int32_t> streams(parallel, 0);
    const auto deadline = Clock::now() + STOPS_BOUND;
    while (Clock::now() < deadline && keep_going()) {
        bool busy = false;
        for (std::size_t i = 0; i < parallel; ++i) {
            H2Client& client = *clients[i];
            if (streams[i] != 0 && !client.response(streams[i]).closed) {
                busy = true;
                continue;
            }
            if (streams[i] != 0) {
                outcome.answered_ok += client.response(streams[i]).status == 200;
                outcome.answered_busy += client.response(streams[i]).status == 503;
                client.forget(streams[i]);
                streams[i] = 0;
            }
            if (outcome.requests_sent < starts) {
                streams[i] = client.submit(start);
                ++outcome.requests_sent;
                busy = true;
            }
        }
        if (!busy) break;
        for (const auto& client : clients)
            client->run_until([] { return false; }, 5ms);
    }
    for (const auto& client : clients)
        outcome.closed_by_helper += client->connection_closed();
    return outcome;
}

std::vector<std::unique_ptr<UnixClient>> idle_connections(const std::string& socket,
                                                          std::size_t count) {
    std::vector<std::unique_ptr<UnixClient>> connections;
    connections.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        connections.push_back(owner_connection(socket));
    return connections;
}

Outcome slow_heads(const std::string& socket, std::size_t connections,
                   std::chrono::seconds duration, const KeepGoing& keep_going) {
    const std::string head = "GET /logs HTTP/1.1\r\nHost: localhost\r\nX-Slow: ";
    std::vector<std::unique_ptr<UnixClient>> clients = idle_connections(socket, connections);
    Outcome outcome;
    outcome.requests_sent = connections;
    const auto until = Clock::now() + duration;
    for (std::size_t offset = 0; Clock::now() < until && keep_going(); ++offset) {
        const auto next_byte_at = Clock::now() + 1s;
        const std::string byte(1, offset < head.size() ? head[offset] : 'a');
        std::size_t ended = 0;
        for (const auto& client : clients) {
            client->read_available();
            if (!ended_by_helper(*client)) outcome.bytes_sent += client->send_until(byte, {});
            ended += ended_by_helper(*client);
        }
        if (ended == connections) break;
        while (Clock::now() < next_byte_at && keep_going())
            std::this_thread::sleep_for(ASK_INTERVAL);
    }
    for (const auto& client : clients)
        outcome.closed_by_helper += ended_by_helper(*client);
    return outcome;
}

Outcome unread_logs(const std::string& socket, std::size_t connections,
                    const std::function<void()>& between, const KeepGoing& keep_going) {
    const std::string request = "GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n";
    std::vector<std::unique_ptr<UnixClient>> clients;
    Outcome outcome;
    while (clients.size() < connections && keep_going()) {
        between();
        clients.push_back(owner_connection(socket));
        if (!send_step(*clients.back(), request, outcome)) break;
        ++outcome.requests_sent;
    }
    if (!clients.empty()) wait_on(*clients.back(), HOLD_TIME, false, keep_going);
    return outcome;
}

Outcome vanishing_clients(const std::string& socket, std::size_t rounds) {
    const std::string request = "GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n";
    std::uint32_t stream_id = 1;
    const std::string http2 = h2::client_preface({}) + logs_requests(stream_id, 1);
    Outcome outcome;
    for (std::size_t i = 0; i < rounds; ++i) {
        for (const std::string_view bytes :
             {std::string_view(request), std::string_view(request).substr(0, 7),
              std::string_view(http2)}) {
            const std::unique_ptr<UnixClient> connection = owner_connection(socket);
            send_step(*connection, bytes, outcome);
            ++outcome.requests_sent;
        }
    }
    return outcome;
}

}  // namespace zembra::test::hostile
