// Ownership of one open file descriptor: closed exactly once, when its owner goes away.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "error.hpp"

namespace zembra::service {

class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }

    // Closes the held descriptor (errors ignored: nothing useful can follow) and holds `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};

// A pipe with both ends close-on-exec.
inline Result<Pipe> close_on_exec_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail(Error::last_os());
    return Pipe{FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

}  // namespace zembra::service
