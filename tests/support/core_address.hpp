// A Core address as the owner's desktop client would prepare it: a listening Unix socket at
// /tmp/MorvikSocket_<n>.sock owned by the owner. The demo Core started on it follows the
// commands of its control file, "<address>.mode" (see tests/fake_core/main.cpp).
#pragma once

#include <string>

namespace zembra::test {

class CoreAddress {
  public:
    explicit CoreAddress(unsigned number);
    ~CoreAddress();
    CoreAddress(const CoreAddress&) = delete;
    CoreAddress& operator=(const CoreAddress&) = delete;

    const std::string& path() const { return path_; }
    // Writes the control file: one fake Core command per line.
    void set_core_commands(const std::string& commands) const;

  private:
    std::string path_;
    int fd_;
};

}  // namespace zembra::test
