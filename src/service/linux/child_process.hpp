// Running a short-lived program (systemctl, id) to completion. Blocking: for the installer on
// the main thread, never for an event-loop thread.
#pragma once

#include <string>
#include <vector>

#include "error.hpp"

namespace zembra::service {

enum class ChildInput { Inherit, Null };
enum class ChildOutput { Inherit, Discard, Capture };

struct ChildStdio {
    ChildInput in = ChildInput::Inherit;
    ChildOutput out = ChildOutput::Inherit;
    ChildOutput err = ChildOutput::Inherit;
};

struct FinishedChild {
    int wait_status;  // raw status from waitpid
    std::string out;  // what the child wrote on a captured stdout
    std::string err;  // what the child wrote on a captured stderr
};

// Runs argv[0], searched on PATH, with this process's environment, and waits for it to exit.
// The child starts with every signal at its default action and none blocked. The error is the
// operating-system error of starting it, reading its output or waiting for it.
Result<FinishedChild> run_child(const std::vector<std::string>& argv, ChildStdio stdio = {});

// True for a child that exited normally with code 0.
bool exited_successfully(int wait_status);

}  // namespace zembra::service
