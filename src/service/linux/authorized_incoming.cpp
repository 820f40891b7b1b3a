#include "service/linux/authorized_incoming.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace zembra::service {
namespace {

// Bounds a lasting accept failure (descriptor exhaustion) to one attempt and one log line a
// second instead of a busy loop.
constexpr std::chrono::seconds ACCEPT_RETRY_DELAY{1};

// Connections taken from the backlog in one go. A client that keeps connecting keeps the backlog
// full; between batches the loop runs its other work (a SIGTERM above all), and the connections
// of a batch are the most the server has to make room for at once.
constexpr int ACCEPT_BATCH = 64;

// The kernel's record is pid, uid and gid, 32 bits each.
constexpr socklen_t PEER_CREDENTIALS_SIZE = 12;

bool is_owner(int fd, OwnerIds owner) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    static_assert(sizeof credentials == PEER_CREDENTIALS_SIZE);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    return length == PEER_CREDENTIALS_SIZE && credentials.uid == owner.uid;
}

}  // namespace

struct AuthorizedIncoming::State : std::enable_shared_from_this<State> {
    State(Listener listener, OwnerIds owner, LogLine log)
        : listener(std::move(listener)),
          owner(owner),
          log(log),
          retry(this->listener.get_executor()) {}

    void wait_readable() {
        listener.async_wait(Listener::wait_read,
                            [self = shared_from_this()](boost::system::error_code error) {
                                if (!error) self->accept_ready();
                            });
    }

    // Accepts until the backlog is empty, so a burst of refused peers costs one wake-up, in
    // batches with the loop's other work in between.
    void accept_ready() {
        for (int accepted = 0; listener.is_open(); ++accepted) {
            if (accepted == ACCEPT_BATCH) {
                return boost::asio::post(listener.get_executor(),
                                         [self = shared_from_this()] { self->accept_ready(); });
            }
            const int fd =
                ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                if (is_owner(fd, owner)) {
                    admit(fd);
                } else {
                    ::close(fd);
                }
                continue;
            }
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) return wait_readable();
            log("Helper could not accept a connection: " + os_error_text(error));
            return pause_then_accept();
        }
    }

    void pause_then_accept() {
        retry.expires_after(ACCEPT_RETRY_DELAY);
        retry.async_wait([self = shared_from_this()](boost::system::error_code error) {
            if (!error && self->listener.is_open()) self->wait_readable();
        });
    }

    Listener listener;
    OwnerIds owner;
    LogLine log;
    boost::asio::steady_timer retry;
    Admit admit;
};

AuthorizedIncoming::AuthorizedIncoming(Listener listener, OwnerIds owner, LogLine log)
    : state_(std::make_shared<State>(std::move(listener), owner, log)) {}

AuthorizedIncoming::~AuthorizedIncoming() {
    close();
}

void AuthorizedIncoming::start(Admit admit) {
    state_->admit = std::move(admit);
    state_->wait_readable();
}

void AuthorizedIncoming::close() {
    boost::system::error_code ignored;
    state_->retry.cancel();
    state_->listener.close(ignored);
}

}  // namespace zembra::service
