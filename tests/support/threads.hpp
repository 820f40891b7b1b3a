// Counting this process's threads, to show a test leaves none behind and a pool stays in bounds.
#pragma once

#include <cstddef>

namespace zembra::test {

// The threads listed in /proc/self/task.
std::size_t os_threads();

// os_threads() after one thread has come and gone: a sanitizer runtime starts a helper thread
// of its own alongside the first thread, which must not count against the code under test.
std::size_t os_threads_baseline();

}  // namespace zembra::test
