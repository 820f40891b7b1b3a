// A fixture with an http::Server serving a small test application:
//   /hello -> 200 with the request target as body     /echo  -> reads the body, echoes it
//   /refuse -> 413 with "connection: close"            /close -> 200 with "Connection: close"
//   /park  -> deferred; the Reply waits in `parked_`   /big   -> 200 with BIG_BODY, shared
//   /throw -> the handler throws                       anything else -> 404
//   /hold  -> the worker deciding it waits for release_held_workers(), then 200
#pragma once

#include <future>
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
    ~HttpServerFixture() override {
        release_held_workers();
        parked_.drop_all();
    }

    void release_held_workers() {
        std::call_once(released_once_, [this] { held_workers_released_.set_value(); });
    }

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
    std::promise<void> held_workers_released_;
    std::shared_future<void> held_workers_ = held_workers_released_.get_future().share();
    std::once_flag released_once_;
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
        if (path == "/hold") {
            held_workers_.wait();
            return http::decision::Respond{{200, {}, "held"}};
        }
        if (path == "/throw") throw std::runtime_error("the handler failed");
        if (path == "/park") {
            return http::decision::Defer{
                [this](http::Reply reply) { parked_.park(std::move(reply)); }};
        }
        return http::decision::Respond{{404, {}, "not found"}};
    }
};

}  // namespace zembra::test
