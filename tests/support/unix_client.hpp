// A raw client connection to a Unix socket, connected under another user's ids, for exchanges
// that curl cannot express (a request head whose body never comes).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

namespace zembra::test {

class UnixClient {
  public:
    // Connects to `path` under uid/gid's effective ids, so the server's peer credentials name
    // that user.
    UnixClient(const std::string& path, uid_t uid, gid_t gid);
    ~UnixClient();
    UnixClient(const UnixClient&) = delete;
    UnixClient& operator=(const UnixClient&) = delete;

    void send(std::string_view bytes);

    struct Received {
        std::string bytes;
        bool closed;  // the peer ended the stream (end of file or reset)
    };
    // Reads until the peer closes or `quiet` passes without a byte.
    Received receive_until_closed(std::chrono::milliseconds quiet);

  private:
    int fd_;
};

}  // namespace zembra::test
