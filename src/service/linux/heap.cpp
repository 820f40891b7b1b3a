#include "service/linux/heap.hpp"

#include <malloc.h>

namespace zembra::service {
namespace {

constexpr int LARGE_BLOCK = 128 * 1024;

}  // namespace

void return_large_blocks_when_freed() {
    // Setting either value turns glibc's dynamic adjustment of both off.
    ::mallopt(M_MMAP_THRESHOLD, LARGE_BLOCK);
    ::mallopt(M_TRIM_THRESHOLD, LARGE_BLOCK);
}

}  // namespace zembra::service
