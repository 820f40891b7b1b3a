// Unix socket addresses for the test clients and listeners: one place that checks the path fits
// and fills the address, so bind and connect never see a truncated path.
#pragma once

#include <sys/un.h>

#include <string>

namespace zembra::test {

// Throws when `path` does not fit in sun_path.
sockaddr_un unix_address(const std::string& path);

// ::bind / ::connect of `fd` to `path`: 0 or -1 with errno set, as the calls themselves.
int bind_unix(int fd, const std::string& path);
int connect_unix(int fd, const std::string& path);

}  // namespace zembra::test
