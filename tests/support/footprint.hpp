// What /proc shows of another process: what it holds (resident memory, threads, open
// descriptors) and its state, so a test can bound what clients make the helper hold and tell a
// zombie from a process that is gone.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace zembra::test {

// The whole of /proc/PID/ENTRY; none when the process has gone (even while it is being read:
// a stream would throw then).
std::optional<std::string> read_proc_entry(pid_t pid, const char* entry);

struct Footprint {
    std::size_t resident_kib = 0;  // VmRSS
    std::size_t threads = 0;
    std::size_t descriptors = 0;
};

// None once the process has exited (a zombie holds neither memory nor descriptors).
std::optional<Footprint> read_footprint(pid_t pid);

struct ProcessState {
    char state;  // 'R', 'S', 'Z', ... as in /proc/PID/stat
    pid_t parent;
};

// None when no process has that id.
std::optional<ProcessState> read_process_state(pid_t pid);

}  // namespace zembra::test
