// Running a short-lived program (systemctl, id) to completion through posix_spawn, its output
// captured, discarded or inherited. Blocking: for the installer on the main thread, never for an
// event-loop thread.
#pragma once

#include <string>
#include <vector>

#include "error.hpp"

namespace zembra::service {

enum class ProgramInput { Inherit, Null };
enum class ProgramOutput { Inherit, Discard, Capture };

struct ProgramStdio {
    ProgramInput in = ProgramInput::Inherit;
    ProgramOutput out = ProgramOutput::Inherit;
    ProgramOutput err = ProgramOutput::Inherit;
};

struct FinishedProgram {
    int wait_status;  // raw status from waitpid
    std::string out;  // what the child wrote on a captured stdout
    std::string err;  // what the child wrote on a captured stderr
};

// Runs argv[0], searched on PATH, with this process's environment, and waits for it to exit.
// The child starts with every signal at its default action and none blocked. The error is the
// operating-system error of starting it, reading its output or waiting for it.
Result<FinishedProgram> run_program(const std::vector<std::string>& argv, ProgramStdio stdio = {});

// True for a child that exited normally with code 0.
bool exited_successfully(int wait_status);

}  // namespace zembra::service
