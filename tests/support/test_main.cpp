// Entry of every test executable: the tests run as root with the helper's real, fixed paths,
// so each test process first moves into a private mount namespace with its own /run and /tmp.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

namespace {

bool isolate() {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "tests must run as root (they use private mount namespaces)\n");
        return false;
    }
    // Must happen before any thread exists: unshare(CLONE_NEWNS) refuses multi-threaded callers.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
        ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
        std::fprintf(stderr, "cannot isolate the test: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!isolate()) return 1;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
