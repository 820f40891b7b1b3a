// A scope that runs the test process under another user's effective ids, so that a socket
// connected inside it carries that user's credentials (the kernel records the effective ids at
// connect) while the real and saved ids stay root's to come back to.
#pragma once

#include <sys/types.h>

namespace zembra::test {

class EffectiveIds {
  public:
    EffectiveIds(uid_t uid, gid_t gid);
    ~EffectiveIds();
    EffectiveIds(const EffectiveIds&) = delete;
    EffectiveIds& operator=(const EffectiveIds&) = delete;
};

}  // namespace zembra::test
