// Spawning the verified Core: argument vector, working directory, stderr pipe, the owner's real
// ids under root's effective ids, and the reader thread that takes over its stderr.
#pragma once

#include "error.hpp"
#include "service/hub/core_stderr.hpp"
#include "service/hub/core_verification.hpp"
#include "service/hub/managed_core.hpp"
#include "service/hub/params.hpp"

namespace zembra::hub {

struct LaunchFailure {
    enum class Stage {
        // Nothing runs: the identity could not be read, or fork/exec failed (errno if any).
        Spawn,
        // The Core ran but its reader could not start; it has been killed and reaped.
        Capture,
    };
    Stage stage;
    Error error;
};

using StartCapture = Result<void> (*)(service::FileDescriptor pipe, const ChildProcess& core,
                                      std::string session_id);

// Blocking: spawns the Core of `core` for `params` and hands its stderr to `start_capture`.
std::expected<ManagedCore, LaunchFailure> launch(const VerifiedCore& core,
                                                 const StartParams& params,
                                                 StartCapture start_capture = start_stderr_capture);

}  // namespace zembra::hub
