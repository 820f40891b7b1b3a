#include "service/linux/replace_file.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "service/linux/file_descriptor.hpp"

namespace zembra::service {
namespace {

Result<> write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(Error::last_os());
        if (n == 0) return fail("failed to write whole buffer");
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

// The new file until it has taken the old one's place; removed if it never does.
class NewFile {
  public:
    explicit NewFile(std::string name_template)
        : name_(std::move(name_template)), fd_(::mkostemp(name_.data(), O_CLOEXEC)) {}
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile() {
        if (!placed_ && fd_) ::unlink(name_.c_str());
    }

    explicit operator bool() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    // A failed close can be the first report of a failed write.
    Result<> close() {
        if (::close(fd_.release()) != 0 && errno != EINTR) return fail(Error::last_os());
        return {};
    }
    Result<> rename_to(const std::string& path) {
        if (::rename(name_.c_str(), path.c_str()) != 0) return fail(Error::last_os());
        placed_ = true;
        return {};
    }

  private:
    std::string name_;
    FileDescriptor fd_;
    bool placed_ = false;
};

}  // namespace

Result<> replace_file(const std::string& path, std::string_view text, mode_t mode) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    // Created for its owner alone (0600, less under a tighter umask), then given `mode`.
    NewFile file(path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX");
    if (!file) return fail(Error::last_os());
    if (::fchmod(file.fd(), mode) != 0) return fail(Error::last_os());
    if (Result<> written = write_all(file.fd(), text); !written) return written;
    if (::fsync(file.fd()) != 0) return fail(Error::last_os());
    if (Result<> closed = file.close(); !closed) return closed;
    if (Result<> renamed = file.rename_to(path); !renamed) return renamed;
    // The rename itself lasts once the directory does.
    const FileDescriptor parent(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent || ::fsync(parent.get()) != 0) return fail(Error::last_os());
    return {};
}

}  // namespace zembra::service
