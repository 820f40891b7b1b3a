// What /proc shows of another process: what it holds (resident memory, threads, open
// descriptors) and its state, so a test can bound what clients make the helper hold and tell a
// zombie from a process that is gone.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The children of `pid`, of all its threads; none listed once it has gone.
std::vector<pid_t> child_processes(pid_t pid);
// `signal` waits to be delivered to the process `pid` (stopped, say).
bool signal_pending(pid_t pid, int signal);
// The threads of `pid` called `name` (as /proc/PID/task/TID/comm has it).
std::size_t threads_named(pid_t pid, std::string_view name);

}  // namespace zembra::test
