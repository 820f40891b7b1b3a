// A small blocking HTTP/2 client (prior knowledge) over a Unix socket, for tests that need
// several streams on one connection. Failures to connect or to talk throw std::runtime_error.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct nghttp2_session;

namespace zembra::test {

struct H2Response {
    int status = 0;  // 0 until the response head arrived
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool closed = false;                 // the stream has ended, one way or another
    std::optional<std::uint32_t> reset;  // RST_STREAM error code received, if any

    // The value of the first header called `name` (lower case), if any.
    const std::string* header(const std::string& name) const;
};

struct H2Request {
    std::string method = "GET";
    std::string path = "/";
    std::vector<std::pair<std::string, std::string>> headers = {};  // regular fields, lower case
    std::optional<std::string> body = std::nullopt;
    // false: send `body` but leave the request stream open, as if more were coming.
    bool end_stream = true;
};

// A POST of `body` to `path` as the desktop client sends it: JSON, with its length.
H2Request json_post(std::string path, std::string body);

class H2Client {
  public:
    // Connects to the Unix socket at `path` and sends the client preface with empty SETTINGS.
    explicit H2Client(const std::string& path);
    ~H2Client();
    H2Client(const H2Client&) = delete;
    H2Client& operator=(const H2Client&) = delete;

    // Queues a request; the returned stream id names its response.
    std::int32_t submit(const H2Request& request);
    // Sends more of a request body that was submitted with end_stream = false.
    void send_more(std::int32_t stream_id, const std::string& data, bool end_stream);

    // Exchanges frames until `done()` holds, the connection ends, or `timeout` passes.
    // Returns done().
    bool run_until(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Runs until the stream has ended; returns false on timeout or lost connection.
    bool finish(std::int32_t stream_id,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

    const H2Response& response(std::int32_t stream_id) const;
    // Drops what the client kept of a finished stream.
    void forget(std::int32_t stream_id);
    // The last-stream-id of the last GOAWAY received, if any.
    std::optional<std::int32_t> goaway_last_stream_id() const { return goaway_last_stream_id_; }
    // A setting the server sent (nghttp2_settings_id), or its default before it arrived.
    std::uint32_t remote_setting(int id) const;
    // The server closed the connection (EOF or error on read).
    bool connection_closed() const { return connection_closed_; }

    struct Callbacks;

  private:
    struct RequestBody {
        std::string data;
        std::size_t sent = 0;
        bool end_stream = true;
    };

    void flush();
    bool receive_for(std::chrono::milliseconds wait);

    int fd_ = -1;
    nghttp2_session* session_ = nullptr;
    std::map<std::int32_t, H2Response> responses_;
    std::map<std::int32_t, std::unique_ptr<RequestBody>> bodies_;
    std::optional<std::int32_t> goaway_last_stream_id_;
    bool connection_closed_ = false;
};

}  // namespace zembra::test
