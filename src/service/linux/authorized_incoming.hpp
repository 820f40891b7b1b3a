// AuthorizedIncoming: the accept loop that admits only the owner's connections. Refused peers
// are closed before a byte is read or written; accept failures are logged through the sink the
// service wiring hands in, and retried after a pause. Runs on the listener's loop (the main
// thread).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "service/linux/owner.hpp"
#include "service/linux/socket_listener.hpp"

namespace zembra::service {

class AuthorizedIncoming {
  public:
    // Receives each admitted connection: a connected, non-blocking, close-on-exec socket.
    using Admit = std::function<void(int fd)>;
    // Takes one line for the helper's log; any thread, never fails.
    using LogLine = void (*)(std::string line);

    AuthorizedIncoming(Listener listener, OwnerIds owner, LogLine log);
    // Closes the listener.
    ~AuthorizedIncoming();
    AuthorizedIncoming(const AuthorizedIncoming&) = delete;
    AuthorizedIncoming& operator=(const AuthorizedIncoming&) = delete;

    // Starts accepting; `admit` runs on the listener's loop. Call once.
    void start(Admit admit);
    // Closes the listening socket: later connection attempts are refused by the kernel.
    void close();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace zembra::service
