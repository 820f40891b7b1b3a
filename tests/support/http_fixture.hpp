// A fixture with an http::Server serving a small test application:
//   /hello -> 200 with the request target as body     /echo  -> reads the body, echoes it
//   /refuse -> 413 with "connection: close"            /close -> 200 with "Connection: close"
//   /park  -> deferred; the Reply waits in `parked_`   /big   -> 200 with BIG_BODY, shared
//   /throw -> the handler throws                       anything else -> 404
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/http_test_server.hpp"
#include "support/process.hpp"

namespace zembra::test {

inline constexpr std::size_t BIG_BODY = 256 * 1024;

class HttpServerFixture : public testing::Test {
  protected:
    explicit HttpServerFixture(http::ServerLimits limits = {})
        : server_([this](const http::RequestHead& head) { return decide(head); }, limits) {}
    ~HttpServerFixture() override { parked_.drop_all(); }

    std::vector<http::RequestHead> heads() {
        std::lock_guard lock(mutex_);
        return heads_;
    }

    // curl over the test server's socket, with `arguments` (options and URLs).
    ProcessResult curl(std::vector<std::string> arguments) {
        std::vector<std::string> argv = {"curl", "-sS", "--unix-socket", server_.path()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run_process(argv);
    }

    ParkedReplies parked_;
    std::mutex mutex_;
    std::vector<http::RequestHead> heads_;
    const http::Body big_body_ = std::string(BIG_BODY, 'b');
    HttpTestServer server_;

  private:
    http::Decision decide(const http::RequestHead& head) {
        {
            std::lock_guard lock(mutex_);
            heads_.push_back(head);
        }
        std::string path = head.target.substr(0, head.target.find('?'));
        if (path == "/hello") return http::decision::Respond{{200, {}, head.target}};
        if (path == "/echo") {
            return http::decision::ReadBody{4096, [](std::string body, http::Reply reply) {
                                                reply({200, {}, std::move(body)});
                                            }};
        }
        if (path == "/refuse") {
            return http::decision::Respond{{413, {{"connection", "close"}}, "refused"}};
        }
        if (path == "/close") {
            return http::decision::Respond{{200, {{"Connection", "close"}}, "bye"}};
        }
        if (path == "/big") return http::decision::Respond{{200, {}, big_body_}};
        if (path == "/throw") throw std::runtime_error("the handler failed");
        if (path == "/park") {
            return http::decision::Defer{
                [this](http::Reply reply) { parked_.park(std::move(reply)); }};
        }
        return http::decision::Respond{{404, {}, "not found"}};
    }
};

}  // namespace zembra::test
