#include "service/linux/socket_listener.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "service/identity.hpp"
#include "service/linux/file_descriptor.hpp"

namespace zembra::service {
namespace {

// The kernel caps the backlog at net.core.somaxconn, so this asks for the largest it allows.
constexpr int LARGEST_BACKLOG = INT_MAX;
constexpr mode_t SOCKET_MODE = 0660;

Result<> remove_stale(const std::string& path) {
    struct stat status {};
    // Follows links on purpose: a dangling link is left alone and makes the bind fail.
    if (::stat(path.c_str(), &status) != 0) return {};
    if (::unlink(path.c_str()) != 0) return fail(Error::last_os().context("remove stale " + path));
    return {};
}

Result<FileDescriptor> bound_socket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return fail(Error::os(ENAMETOOLONG));
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return fail(Error::last_os());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), LARGEST_BACKLOG) != 0) {
        return fail(Error::last_os());
    }
    return fd;
}

}  // namespace

std::string socket_path() {
    return "/run/" + std::string(runtime_directory_name()) + "/helper.sock";
}

Result<Listener> prepare_socket(boost::asio::io_context& loop, const std::string& path) {
    if (auto removed = remove_stale(path); !removed) return fail(std::move(removed.error()));

    auto fd = bound_socket(path);
    if (!fd) return fail(std::move(fd.error()).context("bind " + path));
    Listener listener(loop);
    boost::system::error_code error;
    listener.assign(boost::asio::local::stream_protocol(), fd->get(), error);
    // A failed assign leaves the descriptor with us, to close.
    if (error) return fail(Error::os(error.value()).context("bind " + path));
    fd->release();

    if (::chmod(path.c_str(), SOCKET_MODE) != 0)
        return fail(Error::last_os().context("secure " + path));
    return listener;
}

}  // namespace zembra::service
