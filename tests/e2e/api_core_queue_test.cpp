// Starts and stops wait for the Core slot in a bounded queue: beyond it the answer is 503 at
// once, over both protocols; a start whose client leaves while it waits starts no Core.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "e2e/api_fixture.hpp"
#include "support/core_address.hpp"
#include "support/core_slot_hold.hpp"
#include "support/eventually.hpp"
#include "support/h2_frames.hpp"
#include "support/unix_client.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view OTHER_SESSION = "fedcba9876543210fedcba9876543210";

using CoreSlotQueue = ApiTest;

TEST_P(CoreSlotQueue, AFullQueueAnswersBusyAtOnce) {
    const CoreAddress address(1);
    CoreSlotHold hold(helper_.socket_path(), address, std::string(SESSION_ID));
    hold.fill_queue();
    const auto asked = std::chrono::steady_clock::now();
    const HttpAnswer busy = ask({.method = "POST",
                                 .target = "/start",
                                 .body = start_json(address.path(), OTHER_SESSION),
                                 .content_type = "application/json"});
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << "not answered at once";
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.field("content-type"), "application/json");
    EXPECT_EQ(busy.body, error_json("helperBusy", "the Helper is busy with other Core requests"));
    EXPECT_EQ(hold.release(), 200);
}

ZEMBRA_OVER_BOTH_PROTOCOLS(CoreSlotQueue);

// A client that sends a start and leaves, in one of the ways a client can leave.
struct Leaving {
    const char* name;
    unsigned address;
    std::function<void(UnixClient&, const std::string& start_body)> leave;
};

std::string http1_start(const std::string& body) {
    return "POST /start HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string http2_start(const std::string& body) {
    return std::string(h2::PREFACE) + h2::settings() +
           h2::frame(h2::HEADERS, h2::END_HEADERS, 1, h2::post_fields("/start", body.size())) +
           h2::frame(h2::DATA, h2::END_STREAM, 1, body);
}

const Leaving LEAVING[] = {
    {"HTTP/1.1 connection closed", 11,
     [](UnixClient& client, const std::string& body) {
         client.send(http1_start(body));
         client.close();
     }},
    {"HTTP/2 stream reset", 12,
     [](UnixClient& client, const std::string& body) {
         // Held open: only the stream goes.
         client.send(http2_start(body) +
                     h2::frame(h2::RST_STREAM, 0, 1, std::string("\0\0\0\x08", 4)));
     }},
    {"HTTP/2 connection closed", 13,
     [](UnixClient& client, const std::string& body) {
         client.send(http2_start(body));
         client.close();
     }},
};

// While the slot is held, starts whose clients leave wait in the queue, then one whose client
// stays: only the last one's Core is started.
TEST(CoreSlotQueueLeaving, AStartWhoseClientHasGoneStartsNoCore) {
    HelperService helper;
    const CoreAddress held_address(10);
    CoreSlotHold hold(helper.socket_path(), held_address, std::string(SESSION_ID));
    std::vector<std::unique_ptr<CoreAddress>> addresses;
    std::vector<std::unique_ptr<UnixClient>> clients;
    for (const Leaving& leaving : LEAVING) {
        addresses.push_back(std::make_unique<CoreAddress>(leaving.address));
        clients.push_back(
            std::make_unique<UnixClient>(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID));
        leaving.leave(*clients.back(), start_json(addresses.back()->path(), OTHER_SESSION));
    }
    const CoreAddress staying_address(14);
    UnixClient staying(helper.socket_path(), TEST_OWNER_UID, TEST_OWNER_GID);
    staying.send(http1_start(start_json(staying_address.path(), OTHER_SESSION)));

    EXPECT_EQ(hold.release(), 200);
    const HttpAnswer started = parse_http_answer(staying.read_until("}", 5s));
    EXPECT_EQ(started.status, 200) << started.body;
    std::string logs;
    EXPECT_TRUE(eventually([&] {
        logs = curl_exchange(Protocol::Http1, {.target = "/logs"}).body;
        return logs.find("started for " + staying_address.path()) != std::string::npos;
    })) << logs;
    for (std::size_t i = 0; i < std::size(LEAVING); ++i) {
        SCOPED_TRACE(LEAVING[i].name);
        EXPECT_EQ(logs.find("started for " + addresses[i]->path()), std::string::npos) << logs;
    }
    expect_clean_exit(helper);
}

}  // namespace
}  // namespace zembra::test
