#include "support/curl.hpp"

#include <stdexcept>

namespace zembra::test {

const char* protocol_name(Protocol protocol) {
    return protocol == Protocol::Http1 ? "HTTP/1.1" : "HTTP/2";
}

ProcessResult run_curl(Protocol protocol, const std::vector<std::string>& arguments,
                       const std::string& socket, std::string stdin_data) {
    std::vector<std::string> argv = {
        "curl",         "--silent",
        "--show-error", "--globoff",
        "--path-as-is", "--max-time",
        "20",           "--unix-socket",
        socket,         protocol == Protocol::Http1 ? "--http1.1" : "--http2-prior-knowledge"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_process(argv, {.env = std::nullopt,
                              .uid = TEST_OWNER_UID,
                              .gid = TEST_OWNER_GID,
                              .stdin_data = std::move(stdin_data)});
}

HttpAnswer curl_exchange(Protocol protocol, const CurlRequest& request) {
    std::vector<std::string> arguments = {"--include", "-H", "Expect:"};
    if (request.method == "HEAD") {
        arguments.push_back("--head");
    } else {
        arguments.insert(arguments.end(), {"--request", request.method});
    }
    for (const std::string& header : request.headers)
        arguments.insert(arguments.end(), {"-H", header});
    std::string stdin_data;
    if (request.body) {
        arguments.insert(arguments.end(),
                         {"-H", request.content_type ? "Content-Type: " + *request.content_type
                                                     : std::string("Content-Type:")});
        // Both read the body from standard input; only --upload-file leaves its size unknown.
        if (request.unknown_length) {
            arguments.insert(arguments.end(), {"--upload-file", "-"});
        } else {
            arguments.insert(arguments.end(), {"--data-binary", "@-"});
        }
        stdin_data = *request.body;
    }
    arguments.push_back("http://localhost" + request.target);

    const ProcessResult result = run_curl(protocol, arguments, request.socket, stdin_data);
    if (!result.exited_with(0))
        throw std::runtime_error("curl failed (" + std::to_string(result.wait_status) +
                                 "): " + result.err);
    return parse_http_answer(result.out);
}

}  // namespace zembra::test
