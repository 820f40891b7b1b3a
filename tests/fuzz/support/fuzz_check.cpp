#include "support/fuzz_check.hpp"

#include <cstdio>
#include <cstdlib>

namespace zembra::fuzz {

void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    std::abort();
}

}  // namespace zembra::fuzz
