#include "support/effective_ids.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace zembra::test {

EffectiveIds::EffectiveIds(uid_t uid, gid_t gid) {
    if (::setegid(gid) != 0 || ::seteuid(uid) != 0) {
        const std::string reason = std::strerror(errno);
        ::seteuid(0);
        ::setegid(0);
        throw std::runtime_error("cannot take the effective ids of uid " + std::to_string(uid) +
                                 ": " + reason);
    }
}

EffectiveIds::~EffectiveIds() {
    // A test that cannot become root again would run on with the wrong ids: stop it instead.
    if (::seteuid(0) != 0 || ::setegid(0) != 0) std::abort();
}

}  // namespace zembra::test
