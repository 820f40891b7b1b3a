#include "service/hub/api/routes.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service/blocking_pool.hpp"
#include "service/hub/api/blocking_task.hpp"
#include "service/hub/api/client_guard.hpp"
#include "service/hub/api/refusals.hpp"
#include "service/hub/api/responses.hpp"
#include "support/eventually.hpp"
#include "support/threads.hpp"

namespace zembra::hub {
namespace {

using namespace std::chrono_literals;
using http::Field;
using http::RequestHead;
using http::Response;

constexpr const char* PROTOCOL = "x-zembra-helper-protocol";

// What the fake handlers saw, and where they ran.
struct Calls {
    std::mutex mutex;
    std::optional<PingParams> ping;
    std::optional<StartParams> start;
    std::optional<StopParams> stop;
    std::thread::id thread;
};

Response marked(std::string body) {
    Response response;
    response.status = 299;
    response.fields.push_back({"x-handler", "yes"});
    response.body = std::move(body);
    return response;
}

Handlers recording(Calls& calls) {
    const auto record = [&calls](auto member, const auto& params) {
        std::lock_guard lock(calls.mutex);
        calls.*member = params;
        calls.thread = std::this_thread::get_id();
    };
    return Handlers{
        [record](const PingParams& p) {
            record(&Calls::ping, p);
            return marked("ping " + p.core_sha256);
        },
        [record](const StartParams& p) {
            record(&Calls::start, p);
            return marked("start " + p.address + " " + p.session_id);
        },
        [record](const StopParams& p) {
            record(&Calls::stop, p);
            return marked("stop " + p.session_id);
        },
        [] { return marked("logs"); },
    };
}

// How the server would carry out a decision; `body_was_read` tells whether it read the body.
struct Outcome {
    Response response;
    bool body_was_read = false;
};

Outcome complete(http::Decision decision, const std::string& body) {
    std::promise<Response> answered;
    std::future<Response> answer = answered.get_future();
    http::Reply reply = [&answered](Response r) { answered.set_value(std::move(r)); };
    Outcome outcome;
    if (auto* respond = std::get_if<http::decision::Respond>(&decision)) {
        outcome.response = std::move(respond->response);
        return outcome;
    }
    if (auto* defer = std::get_if<http::decision::Defer>(&decision)) {
        defer->start(std::move(reply));
    } else {
        auto& read = std::get<http::decision::ReadBody>(decision);
        EXPECT_LE(body.size(), read.limit);
        outcome.body_was_read = true;
        read.then(body, std::move(reply));
    }
    if (answer.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "no reply";
        return outcome;
    }
    outcome.response = answer.get();
    return outcome;
}

RequestHead head(std::string method, std::string target, std::vector<Field> fields = {}) {
    return RequestHead{std::move(method), std::move(target), std::move(fields), std::nullopt};
}

RequestHead post(std::string target, const std::string& body, std::vector<Field> fields = {}) {
    RequestHead request = head("POST", std::move(target), std::move(fields));
    request.content_length = body.size();
    return request;
}

std::string header(const Response& response, std::string_view name) {
    const std::string* value = response.field(name);
    return value ? *value : "<none>";
}

class Pipeline : public testing::Test {
  protected:
    Outcome run(const RequestHead& request, const std::string& body = "") {
        return complete(handler_(request), body);
    }

    Calls calls_;
    http::Handler handler_ = routes(recording(calls_));
};

constexpr const char* START_BODY = R"({"address":"/tmp/MorvikSocket_1.sock","sessionId":"s1"})";

TEST_F(Pipeline, RefusalsAndTheirAnswers) {
    struct Case {
        const char* name;
        RequestHead request;
        unsigned status;
        const char* body;
        const char* connection;
        const char* protocol;
    };
    const std::string big(4097, ' ');
    RequestHead too_large = post("/start", big);
    RequestHead no_length = head("POST", "/start");
    const Case cases[] = {
        {"invalid header", head("GET", "/ping", {{"host", "local\x80host"}}), 400,
         R"({"code":"invalidRequest","message":"invalid request header"})", "<none>", "<none>"},
        {"forbidden client", head("GET", "/logs", {{"origin", "null"}}), 403,
         R"({"code":"invalidRequest","message":"browser origins and non-local hosts are not allowed"})",
         "close", "<none>"},
        {"not found", head("GET", "/nothing"), 404,
         R"({"code":"notFound","message":"Helper endpoint not found"})", "<none>", "<none>"},
        {"method not allowed", head("POST", "/logs"), 405,
         R"({"code":"invalidRequest","message":"Helper endpoint does not accept this method"})",
         "<none>", "<none>"},
        {"invalid query", head("GET", "/ping"), 400,
         R"({"code":"invalidRequest","message":"invalid ping query"})", "<none>", "6"},
        {"length required", no_length, 411,
         R"({"code":"invalidRequest","message":"request body length is required"})", "<none>",
         "<none>"},
        {"payload too large", too_large, 413,
         R"({"code":"invalidRequest","message":"request body exceeds 4096 bytes"})", "close",
         "<none>"},
        {"unsupported media type", post("/start", START_BODY, {{"content-type", "text/plain"}}),
         500, R"({"code":"internalError","message":"unhandled Helper request rejection"})",
         "<none>", "<none>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = run(c.request);
        EXPECT_FALSE(outcome.body_was_read);
        EXPECT_EQ(outcome.response.status, c.status);
        EXPECT_EQ(outcome.response.body, c.body);
        EXPECT_EQ(header(outcome.response, "content-type"), "application/json");
        EXPECT_EQ(header(outcome.response, "connection"), c.connection);
        EXPECT_EQ(header(outcome.response, PROTOCOL), c.protocol);
    }

    const Outcome bad_body = run(post("/stop", "{}"), "{}");
    EXPECT_TRUE(bad_body.body_was_read);
    EXPECT_EQ(bad_body.response.status, 400u);
    EXPECT_EQ(bad_body.response.body,
              R"({"code":"invalidRequest","message":"invalid JSON request body"})");
    EXPECT_FALSE(calls_.start || calls_.stop || calls_.ping);
}

TEST_F(Pipeline, GuardComesBeforeRouting) {
    struct Case {
        const char* name;
        RequestHead request;
        unsigned status;
    };
    const Case cases[] = {
        {"null origin on ping", head("GET", "/ping?coreSha256=x", {{"Origin", "null"}}), 403},
        {"empty origin", head("GET", "/logs", {{"origin", ""}}), 403},
        {"origin on an unknown path", head("GET", "/x", {{"origin", "http://localhost"}}), 403},
        {"foreign host on an unknown path", head("GET", "/x", {{"host", "example.com"}}), 403},
        {"foreign host on a wrong method", head("DELETE", "/stop", {{"HOST", "[::1]"}}), 403},
        {"non-ASCII host", head("GET", "/logs", {{"host", "h\xC3\xA9"}}), 400},
        {"control byte in origin", head("GET", "/logs", {{"origin", "a\x01"}}), 400},
        {"bad host beats origin", head("GET", "/logs", {{"origin", "x"}, {"host", "\x7F"}}), 400},
        {"only the first host counts",
         head("GET", "/logs", {{"host", "localhost"}, {"host", "example.com"}}), 299},
        {"tab in a local host", head("GET", "/logs", {{"host", "localhost\t"}}), 403},
        {"local host", head("GET", "/logs", {{"host", "localhost:3000"}}), 299},
        {"no host", head("GET", "/logs"), 299},
        {"protocol header in the request is ignored", head("GET", "/logs", {{PROTOCOL, "1"}}), 299},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c.request).response.status, c.status);
    }
}

TEST(LocalHost, ForBothIdentities) {
    struct Case {
        const char* host;
        bool regular;
        bool pre_release;
    };
    constexpr Case cases[] = {
        {.host = "localhost", .regular = true, .pre_release = true},
        {.host = "LocalHost:8080", .regular = true, .pre_release = true},
        {.host = "127.0.0.1", .regular = true, .pre_release = true},
        {.host = "127.0.0.1:0", .regular = true, .pre_release = true},
        {.host = "localhost:", .regular = true, .pre_release = true},
        {.host = "localhost:port", .regular = true, .pre_release = true},
        {.host = "user@localhost", .regular = true, .pre_release = true},
        {.host = "a:b@localhost:1", .regular = true, .pre_release = true},
        {.host = "x%41@localhost", .regular = true, .pre_release = true},
        {.host = "ZembraHelperService", .regular = true, .pre_release = false},
        {.host = "zembrahelperservice", .regular = true, .pre_release = false},
        {.host = "ZEMBRAHELPERSERVICE", .regular = true, .pre_release = false},
        {.host = "zembraprehelperservice", .regular = false, .pre_release = true},
        {.host = "ZembraPreHelperService:1", .regular = false, .pre_release = true},
        {.host = "", .regular = false, .pre_release = false},
        {.host = "[::1]", .regular = false, .pre_release = false},
        {.host = "[::1]:80", .regular = false, .pre_release = false},
        {.host = "::1", .regular = false, .pre_release = false},
        {.host = "localhost.", .regular = false, .pre_release = false},
        {.host = "127.0.0.2", .regular = false, .pre_release = false},
        {.host = "example.com", .regular = false, .pre_release = false},
        {.host = "localhost:1:2", .regular = false, .pre_release = false},
        {.host = "localhost/ping", .regular = false, .pre_release = false},
        {.host = "localhost?", .regular = false, .pre_release = false},
        {.host = "localhost#", .regular = false, .pre_release = false},
        {.host = "localhost@", .regular = false, .pre_release = false},
        {.host = "localhost ", .regular = false, .pre_release = false},
        {"local\"host", false, false},
        {.host = "localhost%", .regular = false, .pre_release = false},
        {.host = "localhost%41", .regular = false, .pre_release = false},
        {.host = "[localhost]", .regular = false, .pre_release = false},
        {.host = "[localhost", .regular = false, .pre_release = false},
        {.host = "localhost]", .regular = false, .pre_release = false},
        {.host = "[a][b]", .regular = false, .pre_release = false},
        {.host = "x%@[::1]", .regular = false, .pre_release = false},
        {.host = "localhost@example.com", .regular = false, .pre_release = false},
        {.host = "example.com@localhost", .regular = true, .pre_release = true},
        {.host = "1:2:3:4:5:6:7:8:9@localhost", .regular = true, .pre_release = true},
        {.host = "1:2:3:4:5:6:7:8:9:0@localhost", .regular = false, .pre_release = false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(is_local_host(c.host, "ZembraHelperService"), c.regular);
        EXPECT_EQ(is_local_host(c.host, "ZembraPreHelperService"), c.pre_release);
    }
}

TEST_F(Pipeline, PathsAndMethods) {
    struct Case {
        const char* method;
        const char* target;
        unsigned status;
    };
    constexpr Case cases[] = {
        {"GET", "/ping?coreSha256=x", 299},
        {"GET", "/ping/?coreSha256=x", 299},
        {"GET", "/logs", 299},
        {"GET", "/logs/", 299},
        {"GET", "/logs?anything", 299},
        {"GET", "/ping//?coreSha256=x", 404},
        {"GET", "/ping/x", 404},
        {"GET", "/PING", 404},
        {"GET", "/Ping", 404},
        {"GET", "/p%69ng", 404},
        {"GET", "/", 404},
        {"GET", "", 404},
        {"GET", "ping", 404},
        {"GET", "/pings", 404},
        {"GET", "/logs/x?y", 404},
        {"HEAD", "/ping", 405},
        {"get", "/ping", 405},
        {"POST", "/logs", 405},
        {"GET", "/start", 405},
        {"PUT", "/stop", 405},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        EXPECT_EQ(run(head(c.method, c.target)).response.status, c.status);
    }
}

TEST_F(Pipeline, PingRunsOnTheBlockingPoolWithItsQuery) {
    const Outcome outcome = run(head("GET", "/ping/?&coreSha256=ab%2Bc+d&"));
    EXPECT_EQ(outcome.response.status, 299u);
    EXPECT_EQ(outcome.response.body, "ping ab+c d");
    // The handler's response goes out unchanged.
    ASSERT_EQ(outcome.response.fields.size(), 1u);
    EXPECT_EQ(header(outcome.response, "x-handler"), "yes");
    EXPECT_NE(calls_.thread, std::this_thread::get_id());

    for (const char* query : {"", "?coreSha256=a&coreSha256=a", "?coreSha256=a&x=b", "?x=a"}) {
        SCOPED_TRACE(query);
        const Outcome refused = run(head("GET", std::string("/ping") + query));
        EXPECT_EQ(refused.response.status, 400u);
        EXPECT_EQ(header(refused.response, PROTOCOL), "6");
    }
}

TEST_F(Pipeline, LogsRunsDirectly) {
    http::Decision decision = handler_(head("GET", "/logs"));
    ASSERT_TRUE(std::holds_alternative<http::decision::Respond>(decision));
    EXPECT_EQ(std::get<http::decision::Respond>(decision).response.body, "logs");
}

TEST_F(Pipeline, StartAndStopRunOnTheBlockingPoolWithTheirBodies) {
    Outcome outcome = run(post("/start?ignored", START_BODY), START_BODY);
    EXPECT_EQ(outcome.response.body, "start /tmp/MorvikSocket_1.sock s1");
    EXPECT_NE(calls_.thread, std::this_thread::get_id());

    const std::string array = R"(["/a","s2"])";
    EXPECT_EQ(run(post("/start", array), array).response.body, "start /a s2");

    const std::string stop = R"({"sessionId":"s3"})";
    EXPECT_EQ(run(post("/stop/", stop), stop).response.body, "stop s3");
}

TEST_F(Pipeline, DeclaredLength) {
    std::string body = R"({"address":"/a","sessionId":")";
    body += std::string(4096 - body.size() - 2, 'x') + "\"}";
    ASSERT_EQ(body.size(), 4096u);
    const Outcome at_limit = run(post("/start", body), body);
    EXPECT_EQ(at_limit.response.status, 299u);

    RequestHead over = post("/stop", body);
    over.content_length = 4097;
    EXPECT_EQ(run(over).response.status, 413u);
    over.content_length = UINT64_MAX;
    EXPECT_EQ(run(over).response.status, 413u);
    over.content_length.reset();
    EXPECT_EQ(run(over).response.status, 411u);
}

TEST_F(Pipeline, ContentTypes) {
    struct Case {
        const char* content_type;
        bool accepted;
    };
    constexpr Case cases[] = {
        {"application/json", true},
        {"Application/JSON", true},
        {"application/json; charset=utf-8", true},
        {"application/json;charset=\"utf-8\"", true},
        {" application/json ; a=b ;c=d ", true},
        {"application/json;", true},
        {"text/plain", false},
        {"application/jsonx", false},
        {"application/vnd.api+json", false},
        {"application/json charset=utf-8", false},
        {"application/json; charset", false},
        {"application/json; charset=", false},
        {"application/json; charset=\"utf-8", false},
        {"application/", false},
        {"application", false},
        {"/json", false},
        {"", false},
        {"application/json; charset=\xC3\xA9", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content_type);
        const Outcome outcome =
            run(post("/start", START_BODY, {{"content-type", c.content_type}}), START_BODY);
        EXPECT_EQ(outcome.response.status, c.accepted ? 299u : 500u);
    }
}

TEST(TaskFailure, AnsweredInThePlaceOfTheHandler) {
    const auto boom = [](const auto&) -> Response { throw std::runtime_error("boom"); };
    http::Handler handler = routes(Handlers{boom, boom, boom, [] { return marked("logs"); }});

    const Outcome ping = complete(handler(head("GET", "/ping?coreSha256=x")), "");
    EXPECT_EQ(ping.response.status, 409u);
    EXPECT_EQ(ping.response.body, "Helper ping task failed: boom");
    EXPECT_EQ(header(ping.response, "content-type"), "text/plain; charset=utf-8");
    EXPECT_EQ(header(ping.response, PROTOCOL), "6");

    const Outcome start = complete(handler(post("/start", START_BODY)), START_BODY);
    EXPECT_EQ(start.response.status, 500u);
    EXPECT_EQ(start.response.body,
              R"({"code":"internalError","message":"Core start task failed: boom"})");

    const std::string stop_body = R"(["s"])";
    const Outcome stop = complete(handler(post("/stop", stop_body)), stop_body);
    EXPECT_EQ(stop.response.status, 500u);
    EXPECT_EQ(stop.response.body,
              R"({"code":"internalError","message":"Core stop task failed: boom"})");
}

// Each route reaches its own real handler: answers only that handler gives, and none that
// touches the Core.
TEST(HelperRoutes, WireTheRealHandlers) {
    const http::Handler handler = routes();

    const Outcome logs = complete(handler(head("GET", "/logs")), "");
    EXPECT_EQ(logs.response.status, 200u);
    EXPECT_EQ(header(logs.response, "cache-control"), "no-store");

    const Outcome ping = complete(handler(head("GET", "/ping?coreSha256=x")), "");
    EXPECT_EQ(ping.response.status, 409u);
    EXPECT_EQ(ping.response.body,
              R"({"code":"coreSha256Mismatch","message":"Core SHA256 mismatch"})");

    const std::string start_body = R"(["/nowhere","s"])";
    const Outcome start = complete(handler(post("/start", start_body)), start_body);
    EXPECT_EQ(start.response.body, R"({"code":"invalidRequest","message":"invalid Core address"})");

    const std::string stop_body = R"(["s"])";
    const Outcome stop = complete(handler(post("/stop", stop_body)), stop_body);
    EXPECT_EQ(stop.response.body,
              R"({"code":"invalidRequest","message":"invalid Core session ID"})");
}

// Starts and stops wait for the Core slot one at a time, in a queue with room for a few from
// each connection and a few more in all; beyond, they are answered 503 at once. A start whose
// client leaves while it waits leaves the queue, unrun, and makes room; a stop is done all the
// same. A ping is answered meanwhile.
TEST(BlockingLanes, CoreSlotWorkWaitsWithinItsBoundsWhileAPingIsAnswered) {
    const std::size_t threads_before = zembra::test::os_threads_baseline();
    std::atomic<std::size_t> ran = 0;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    const auto hold = [&ran, released](const auto&) {
        ++ran;
        released.wait();
        return marked("held");
    };
    http::Handler handler = routes(Handlers{[](const PingParams&) { return marked("ping"); }, hold,
                                            hold, [] { return marked("logs"); }});

    struct Request {
        std::shared_ptr<http::ClientPresence> client;
        std::mutex mutex;
        std::optional<Response> answer;
    };
    std::vector<std::shared_ptr<Request>> requests;
    const auto submit = [&](std::uint64_t connection) {
        auto request = std::make_shared<Request>();
        request->client = std::make_shared<http::ClientPresence>(connection);
        const bool stop = requests.size() % 2 == 1;
        const std::string body = stop ? R"(["s"])" : START_BODY;
        http::Decision decision = handler(post(stop ? "/stop" : "/start", body));
        std::get<http::decision::ReadBody>(decision).then(
            body, http::Reply(
                      [request](Response r) {
                          std::lock_guard lock(request->mutex);
                          request->answer = std::move(r);
                      },
                      request->client));
        requests.push_back(request);
        return request;
    };
    const auto answer = [](const std::shared_ptr<Request>& request) -> std::optional<Response> {
        std::lock_guard lock(request->mutex);
        return request->answer;
    };
    const auto expect_busy = [&](const std::shared_ptr<Request>& request) {
        const std::optional<Response> busy = answer(request);
        ASSERT_TRUE(busy.has_value()) << "not answered at once";
        EXPECT_EQ(busy->status, 503u);
        EXPECT_EQ(
            busy->body,
            R"({"code":"helperBusy","message":"the Helper is busy with other Core requests"})");
    };

    submit(1);
    ASSERT_TRUE(zembra::test::eventually([&] { return ran == 1; }));
    // The first connection's share, then one more of its own.
    for (std::size_t i = 0; i < service::MAX_WAITING_CORE_SLOT_JOBS_PER_CONNECTION; ++i)
        EXPECT_FALSE(answer(submit(1)).has_value());
    expect_busy(submit(1));
    // Other connections fill the queue; then a fresh one finds no room either.
    std::uint64_t connection = 2;
    while (requests.size() - 2 < service::MAX_WAITING_CORE_SLOT_JOBS) {
        for (std::size_t i = 0; i < service::MAX_WAITING_CORE_SLOT_JOBS_PER_CONNECTION; ++i)
            EXPECT_FALSE(answer(submit(connection)).has_value());
        ++connection;
    }
    expect_busy(submit(connection));

    // Of the waiting requests whose clients leave, the start is dropped at once and leaves its
    // room, the stop stays.
    const std::size_t first_of_second_connection =
        2 + service::MAX_WAITING_CORE_SLOT_JOBS_PER_CONNECTION;
    requests[first_of_second_connection]->client->leave();
    requests[first_of_second_connection + 1]->client->leave();
    expect_busy(requests[first_of_second_connection]);
    const std::shared_ptr<Request> late = submit(connection);
    EXPECT_FALSE(answer(late).has_value());
    expect_busy(submit(connection));

    auto ping_answer = std::make_shared<std::promise<Response>>();
    std::future<Response> ping = ping_answer->get_future();
    std::get<http::decision::Defer>(handler(head("GET", "/ping?coreSha256=x")))
        .start([ping_answer](Response r) { ping_answer->set_value(std::move(r)); });
    EXPECT_EQ(ping.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(ping.get().body, "ping");
    EXPECT_EQ(ran, 1u);
    EXPECT_LE(zembra::test::os_threads(),
              threads_before + service::CORE_SLOT_LANE_THREADS + service::QUICK_LANE_THREADS);
    release.set_value();

    // Each admitted request is answered by its handler, one after another; the start whose client
    // left never ran.
    const std::size_t admitted = 1 + service::MAX_WAITING_CORE_SLOT_JOBS;
    EXPECT_TRUE(zembra::test::eventually([&] { return ran == admitted; }, 10s)) << ran;
    EXPECT_TRUE(zembra::test::eventually([&] {
        return std::ranges::all_of(requests, [&](const auto& r) { return answer(r).has_value(); });
    }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ran, admitted);
    EXPECT_EQ(answer(late)->status, 299u);
    EXPECT_EQ(answer(requests[first_of_second_connection + 1])->status, 299u);
}

TEST(TaskFailureDeathTest, ATaskThatNeverRunsIsStillAnswered) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Runs in a child process: the shutdown must not reach the other tests' pool.
    EXPECT_EXIT(
        {
            service::shutdown_blocking_pool();
            bool ran = false;
            std::string answer;
            run_blocking([&answer](Response r) { answer = r.body.view(); },
                         [&ran] {
                             ran = true;
                             return Response{};
                         },
                         [](const std::string& failure) {
                             Response r;
                             r.body = "failed: " + failure;
                             return r;
                         });
            std::exit(!ran && answer == "failed: the task was dropped before it ran" ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zembra::hub
