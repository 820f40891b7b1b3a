// Raw client connections to a Unix socket for byte-exact exchanges that curl cannot express (a
// request head whose body never comes), as root or under another user's ids.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

namespace zembra::test {

class EffectiveIds;

// A plain client connection for byte-exact exchanges.
class RawConnection {
  public:
    explicit RawConnection(const std::string& path);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    void send(std::string_view bytes);
    // Sends what the server takes before `deadline`, never waiting past it; returns the number
    // of bytes sent. A failed send (the server is gone) ends it and sets `send_failed()`.
    std::size_t send_until(std::string_view bytes, std::chrono::steady_clock::time_point deadline);
    bool send_failed() const { return send_failed_; }
    // Waits until the server has read every byte sent; false if it has not within `timeout`.
    bool wait_until_taken(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Tells the server that nothing more is coming.
    void shutdown_send();
    // Reads until `text` has arrived, the server closes, or `timeout` passes; returns all
    // received so far.
    const std::string& read_until(std::string_view text,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads until the server closes; false if it has not closed within `timeout`.
    bool read_to_eof(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads and drops what arrives for `duration`, as a client that reads but keeps nothing.
    void discard_for(std::chrono::milliseconds duration);
    // Reads what has arrived already, without waiting.
    void read_available();
    const std::string& received() const { return received_; }
    // What was received so far, handed over and forgotten: for clients that read a lot.
    std::string take_received() { return std::exchange(received_, {}); }
    // The server closed its side (EOF, or a reset: see `reset()`).
    bool closed() const { return closed_; }
    bool reset() const { return reset_; }
    void close();

  protected:
    // Connects while `connecting_as` keeps another user's ids in effect.
    RawConnection(const std::string& path, const EffectiveIds& connecting_as);
    // Waits for bytes until `deadline`; false once it passes or the server closes.
    bool read_some(std::chrono::steady_clock::time_point deadline);

  private:
    // One wait of up to `wait` for bytes, then one read; true when bytes arrived.
    bool receive_within(std::chrono::milliseconds wait);

    int fd_ = -1;
    std::string received_;
    bool closed_ = false;
    bool reset_ = false;
    bool send_failed_ = false;
};

// A raw connection made under uid/gid's effective ids, so the server's peer credentials name
// that user.
class UnixClient : public RawConnection {
  public:
    UnixClient(const std::string& path, uid_t uid, gid_t gid);

    struct Received {
        std::string bytes;
        bool closed;  // the peer ended the stream (end of file or reset)
    };
    // Reads until the peer closes or `quiet` passes without a byte; returns what arrived during
    // this call.
    Received receive_until_closed(std::chrono::milliseconds quiet);
};

}  // namespace zembra::test
