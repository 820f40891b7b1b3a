#include "support/served_connection.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "http/protocol_detector.hpp"
#include "http/server.hpp"
#include "service/hub/api/routes.hpp"
#include "service/linux/file_descriptor.hpp"
#include "support/fuzz_check.hpp"
#include "support/http1_answers.hpp"
#include "support/http2_frames.hpp"

namespace zembra::fuzz {
namespace {

using namespace std::chrono_literals;

// Far beyond what a sound server needs to finish once the client has sent everything and ended
// its side, yet short enough that a connection left open is reported as a hang of this input.
constexpr auto CLOSE_DEADLINE = 10s;
// A /logs answer larger than HTTP/2's initial flow-control window, so answers can stall on it.
constexpr std::size_t LOGS_BYTES = 70 * 1024;

// The worker loop of every served connection, like the service's: several threads, one strand
// per connection. Never destroyed, so no connection can outlive it.
boost::asio::io_context& workers() {
    struct Workers {
        Workers() : guard(context.get_executor()) {
            for (int i = 0; i < 2; ++i)
                threads.emplace_back([this] { context.run(); });
        }
        boost::asio::io_context context;
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard;
        std::vector<std::thread> threads;
    };
    static Workers* const instance = new Workers();
    return instance->context;
}

http::Response answer(std::string body) {
    return http::Response{200, {{"content-type", "text/plain"}}, std::move(body)};
}

const http::Handler& pipeline() {
    static const http::Handler handler = hub::routes(hub::Handlers{
        [](const hub::PingParams& p) { return answer(p.core_sha256); },
        [](const hub::StartParams& p) { return answer(p.address + ' ' + p.session_id); },
        [](const hub::StopParams& p) { return answer(p.session_id); },
        [] { return answer(std::string(LOGS_BYTES, 'l')); },
    });
    return handler;
}

// Sends `request` and then end-of-file while reading everything the server sends, until the
// server closes. A server that stops reading is not waited for: what could not be sent is
// dropped, as a client would.
std::string talk(int fd, std::string_view request) {
    const auto deadline = std::chrono::steady_clock::now() + CLOSE_DEADLINE;
    std::string received;
    bool sending = true;
    for (;;) {
        if (sending && request.empty()) {
            ::shutdown(fd, SHUT_WR);
            sending = false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        FUZZ_CHECK(left.count() > 0 && "the server kept the connection open");
        pollfd poll_fd{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (::poll(&poll_fd, 1, static_cast<int>(left.count())) < 0) continue;
        if (sending && (poll_fd.revents & (POLLOUT | POLLERR)) != 0) {
            const ssize_t n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            if (n >= 0) request.remove_prefix(static_cast<std::size_t>(n));
            if (n < 0 && errno != EAGAIN && errno != EINTR) sending = false;
        }
        if ((poll_fd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buffer[64 * 1024];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return received;
        }
    }
}

// Serves one connection and returns what the server sent, once the server is done with it.
std::string serve(std::string_view client_bytes) {
    int pair[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) == 0);
    const service::FileDescriptor client(pair[0]);
    http::Server server(workers(), pipeline());
    server.serve(pair[1]);
    std::string received = talk(client.get(), client_bytes);

    auto closed = std::make_shared<std::promise<void>>();
    std::future<void> all_closed = closed->get_future();
    server.graceful_stop([closed] { closed->set_value(); });
    FUZZ_CHECK(all_closed.wait_for(CLOSE_DEADLINE) == std::future_status::ready &&
               "the server did not let go of the connection");
    return received;
}

}  // namespace

void serve_and_check(std::string_view client_bytes) {
    const std::string received = serve(client_bytes);
    switch (http::detect_protocol(client_bytes)) {
        case http::Protocol::Http1:
            return check_http1_answers(received);
        case http::Protocol::Http2:
            return check_http2_frames(received);
        case http::Protocol::Undecided:
            FUZZ_CHECK(received.empty());
    }
}

}  // namespace zembra::fuzz

// libFuzzer's leak check after each input counts allocations: Asio keeps memory freed on a worker
// thread in that thread's cache, so most inputs would look leaky and pay for a full scan. Leaks
// are still reported when the process exits. A -detect_leaks given on the command line overrides.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static char no_leak_check_per_input[] = "-detect_leaks=0";
    static std::vector<char*> arguments(*argv, *argv + *argc);
    arguments.insert(arguments.begin() + 1, no_leak_check_per_input);
    arguments.push_back(nullptr);
    *argc = static_cast<int>(arguments.size() - 1);
    *argv = arguments.data();
    return 0;
}
