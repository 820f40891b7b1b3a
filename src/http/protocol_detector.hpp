// The first bytes of a connection choose its protocol: the HTTP/2 client preface means HTTP/2 by
// prior knowledge, anything else HTTP/1.x. The bytes read while choosing go to the chosen session.
#pragma once

#include <memory>
#include <string_view>

#include <boost/beast/core/flat_buffer.hpp>

#include "http/connection_registry.hpp"
#include "http/request_deadline.hpp"
#include "http/transport.hpp"

namespace zembra::http {

enum class Protocol { Undecided, Http1, Http2 };

// Decides as soon as the bytes stop matching the preface ("PRI * HTTP/2.0" is also a valid
// HTTP/1 request line, so a short prefix alone decides nothing).
Protocol detect_protocol(std::string_view first_bytes);

class ProtocolDetector : public Connection, public std::enable_shared_from_this<ProtocolDetector> {
  public:
    ProtocolDetector(Socket socket, ConnectionSlot slot,
                     std::shared_ptr<ConnectionRegistry> registry);

    // Callable from any thread.
    void start();
    void stop() override;
    void evict() override;

  private:
    void do_read();
    void on_read(boost::system::error_code ec, std::size_t n);
    void hand_over(Protocol protocol);
    template <class Session>
    void hand_over_to();
    void close();

    // Declared first, so the connection leaves the registry only after its socket is closed.
    ConnectionSlot slot_;
    std::shared_ptr<ConnectionRegistry> registry_;
    Socket socket_;
    boost::beast::flat_buffer buffer_;
    RequestDeadline deadline_;
    RequestDeadline::Clock::time_point begun_;  // the first byte: the preface is a head too
    bool stopping_ = false;
};

}  // namespace zembra::http
