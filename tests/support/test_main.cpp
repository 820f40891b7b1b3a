// Entry of every test executable: the tests run as root with the helper's real, fixed paths,
// so each test process first moves into a private mount namespace with its own /run and /tmp.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr const char* PRIVATE_ROOTS[] = {"/run", "/tmp"};

bool fail(const char* what) {
    std::fprintf(stderr, "cannot isolate the test: %s: %s\n", what, std::strerror(errno));
    return false;
}

bool under(const std::string& path, const std::string& root) {
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

bool make_directories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

// A checkout that lies under /run or /tmp (a CI clone, say) would vanish under the private
// tmpfs; it is bound back at its own path so the tests still find the built executables.
struct KeptTree {
    std::string path;
    int fd;
};

bool isolate() {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "tests must run as root (they use private mount namespaces)\n");
        return false;
    }
    // Must happen before any thread exists: unshare(CLONE_NEWNS) refuses multi-threaded callers.
    if (::unshare(CLONE_NEWNS) != 0) return fail("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail("/");
    // Opened inside the new namespace: a bind mount's source must belong to it.
    std::vector<KeptTree> kept;
    for (const char* root : PRIVATE_ROOTS) {
        if (under(ZEMBRA_SOURCE_DIR, root)) {
            const int fd = ::open(ZEMBRA_SOURCE_DIR, O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) return fail(ZEMBRA_SOURCE_DIR);
            kept.push_back({ZEMBRA_SOURCE_DIR, fd});
        }
    }
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return fail("/run");
    if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return fail("/tmp");
    for (const KeptTree& tree : kept) {
        const std::string source = "/proc/self/fd/" + std::to_string(tree.fd);
        if (!make_directories(tree.path) ||
            ::mount(source.c_str(), tree.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            return fail(tree.path.c_str());
        }
        ::close(tree.fd);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!isolate()) return 1;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
