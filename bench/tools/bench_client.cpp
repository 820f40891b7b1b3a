// Clients for bench/run that curl and h2load cannot be: timed Core start/stop round trips on one
// keep-alive connection, and many idle connections held open while the helper's memory is read.
// Run as the owner; every failure ends the program with a message and status 1.
//
//   bench_client cycles SOCKET ADDRESS COUNT
//       COUNT times POST /start then POST /stop; prints "START_US STOP_US" per cycle.
//   bench_client hold SOCKET http1|http2 COUNT
//       opens COUNT connections, each with one answered GET /logs, prints "ready", and holds
//       them until its standard input ends.
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/h2_client.hpp"
#include "support/unix_socket.hpp"

namespace {

using Clock = std::chrono::steady_clock;

class Connection {
  public:
    explicit Connection(const std::string& path)
        : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (fd_ < 0 || zembra::test::connect_unix(fd_, path) != 0)
            throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
    }
    ~Connection() { ::close(fd_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // One HTTP/1.1 exchange on the kept-alive connection: the status and the body.
    std::pair<int, std::string> exchange(std::string_view request) {
        for (std::string_view rest = request; !rest.empty();) {
            const ssize_t n = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error(std::string("send: ") + std::strerror(errno));
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        std::size_t head_end;
        while ((head_end = in_.find("\r\n\r\n")) == std::string::npos)
            receive();
        const std::string head = in_.substr(0, head_end);
        const std::size_t length = content_length(head);
        while (in_.size() < head_end + 4 + length)
            receive();
        std::string body = in_.substr(head_end + 4, length);
        in_.erase(0, head_end + 4 + length);
        return {std::atoi(head.c_str() + head.find(' ') + 1), std::move(body)};
    }

  private:
    static std::size_t content_length(const std::string& head) {
        const std::size_t at = head.find("content-length: ");
        if (at == std::string::npos) throw std::runtime_error("no content-length in: " + head);
        std::size_t length = 0;
        const char* digits = head.c_str() + at + std::strlen("content-length: ");
        std::from_chars(digits, head.c_str() + head.size(), length);
        return length;
    }

    void receive() {
        char buffer[16 * 1024];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) throw std::runtime_error("the helper closed the connection");
        in_.append(buffer, static_cast<std::size_t>(n));
    }

    int fd_;
    std::string in_;
};

std::string post(std::string_view path, const std::string& json) {
    return "POST " + std::string(path) +
           " HTTP/1.1\r\nhost: localhost\r\ncontent-type: application/json\r\ncontent-length: " +
           std::to_string(json.size()) + "\r\n\r\n" + json;
}

long long microseconds_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

void cycles(const std::string& socket, const std::string& address, unsigned count) {
    const std::string session = "0123456789abcdef0123456789abcdef";
    const std::string start =
        post("/start", R"({"address":")" + address + R"(","sessionId":")" + session + R"("})");
    const std::string stop = post("/stop", R"({"sessionId":")" + session + R"("})");
    Connection connection(socket);
    for (unsigned i = 0; i < count; ++i) {
        auto began = Clock::now();
        auto [start_status, start_body] = connection.exchange(start);
        const long long start_us = microseconds_since(began);
        if (start_status != 200) throw std::runtime_error("start answered: " + start_body);
        began = Clock::now();
        auto [stop_status, stop_body] = connection.exchange(stop);
        const long long stop_us = microseconds_since(began);
        if (stop_status != 200 || stop_body.find("\"stopped\":true") == std::string::npos)
            throw std::runtime_error("stop answered: " + stop_body);
        std::printf("%lld %lld\n", start_us, stop_us);
    }
}

void hold(const std::string& socket, std::string_view protocol, unsigned count) {
    std::vector<std::unique_ptr<Connection>> http1;
    std::vector<std::unique_ptr<zembra::test::H2Client>> http2;
    for (unsigned i = 0; i < count; ++i) {
        if (protocol == "http1") {
            http1.push_back(std::make_unique<Connection>(socket));
            if (http1.back()->exchange("GET /logs HTTP/1.1\r\nhost: localhost\r\n\r\n").first !=
                200)
                throw std::runtime_error("GET /logs failed");
        } else {
            http2.push_back(std::make_unique<zembra::test::H2Client>(socket));
            const std::int32_t stream = http2.back()->submit({.path = "/logs"});
            if (!http2.back()->finish(stream) || http2.back()->response(stream).status != 200)
                throw std::runtime_error("GET /logs failed over HTTP/2");
        }
    }
    std::puts("ready");
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
    }
}

unsigned count_argument(const char* text) {
    unsigned value = 0;
    const std::string_view view(text);
    const auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (ec != std::errc() || end != view.data() + view.size() || value == 0)
        throw std::runtime_error("not a count: " + std::string(view));
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string_view command = argc > 1 ? argv[1] : "";
        if (command == "cycles" && argc == 5) {
            cycles(argv[2], argv[3], count_argument(argv[4]));
        } else if (command == "hold" && argc == 5) {
            hold(argv[2], argv[3], count_argument(argv[4]));
        } else {
            std::fprintf(stderr,
                         "usage: bench_client cycles SOCKET ADDRESS COUNT\n"
                         "       bench_client hold SOCKET http1|http2 COUNT\n");
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_client: %s\n", e.what());
        return 1;
    }
    return 0;
}
