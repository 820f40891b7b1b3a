// Shared ground of the API tests: a running helper, a curl exchange as its owner over the
// protocol under test, and the exact bodies the API answers with.
#pragma once

#include <signal.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "service/hub/core/core_digest.hpp"
#include "support/curl.hpp"
#include "support/service.hpp"

namespace zembra::test {

inline constexpr std::string_view SESSION_ID = "0123456789abcdef0123456789abcdef";
inline constexpr std::string_view PROTOCOL_HEADER = "x-zembra-helper-protocol";

inline std::string error_json(std::string_view code, std::string_view message) {
    return "{\"code\":\"" + std::string(code) + "\",\"message\":\"" + std::string(message) + "\"}";
}

inline std::string start_json(std::string_view address, std::string_view session_id) {
    return "{\"address\":\"" + std::string(address) + "\",\"sessionId\":\"" +
           std::string(session_id) + "\"}";
}

inline std::string stop_json(std::string_view session_id) {
    return "{\"sessionId\":\"" + std::string(session_id) + "\"}";
}

inline std::string ping_target(std::string_view digest = hub::EXPECTED_CORE_SHA256) {
    return "/ping?coreSha256=" + std::string(digest);
}

// Ends the helper as its service manager would and expects a clean exit: status 0 and nothing
// on stderr, where a sanitizer's report from the helper would land.
inline void expect_clean_exit(HelperService& helper) {
    helper.signal(SIGTERM);
    const std::optional<ServiceExit> exit = helper.wait_for_exit(std::chrono::seconds(10));
    ASSERT_TRUE(exit) << "the helper still runs 10 s after SIGTERM";
    EXPECT_TRUE(exit->exited_with(0)) << "wait status " << exit->wait_status;
    EXPECT_EQ(exit->err, "");
}

// One helper per test, asked over the protocol the test is instantiated with.
class ApiTest : public testing::TestWithParam<Protocol> {
  protected:
    HttpAnswer ask(const CurlRequest& request) { return curl_exchange(GetParam(), request); }
    void TearDown() override { expect_clean_exit(helper_); }

    HelperService helper_;
};

// Names the protocol in gtest's output instead of its bytes.
inline void PrintTo(Protocol protocol, std::ostream* out) {
    *out << protocol_name(protocol);
}

inline std::string protocol_test_name(const testing::TestParamInfo<Protocol>& info) {
    return info.param == Protocol::Http1 ? "Http1" : "Http2";
}

#define ZEMBRA_OVER_BOTH_PROTOCOLS(suite)                                       \
    INSTANTIATE_TEST_SUITE_P(BothProtocols, suite,                              \
                             testing::Values(Protocol::Http1, Protocol::Http2), \
                             protocol_test_name)

}  // namespace zembra::test
