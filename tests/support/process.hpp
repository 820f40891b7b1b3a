// Running real processes from tests: a command with its output captured, and plain children of
// the test process in a known state.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace zembra::test {

struct ProcessOptions {
    // Replaces the whole environment ("NAME=value" entries) when set.
    std::optional<std::vector<std::string>> env;
    // Runs the command under these ids (setgroups to just gid, then setresgid/setresuid).
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    std::string stdin_data;
};

struct ProcessResult {
    int wait_status;  // raw status from waitpid
    std::string out;
    std::string err;

    bool exited_with(int code) const;
};

// Runs argv[0] (searched on PATH) and waits for it; stdout and stderr are captured.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// The environment of this process plus/overridden by `extra` ("NAME=value") entries, without
// the names in `removed`.
std::vector<std::string> environment_with(const std::vector<std::string>& extra,
                                          const std::vector<std::string>& removed = {});

// What a child made by fork_child does.
enum class ChildBehaviour { ExitsOnTerm, IgnoresTerm, AlreadyExited };

// A plain child of this process (not reaped), returned once it is in the state `behaviour`
// names: waiting for signals, or exited with code 7.
pid_t fork_child(ChildBehaviour behaviour);

}  // namespace zembra::test
