// Spawning the verified Core: argument vector, working directory, stderr pipe, the owner's real
// ids under root's effective ids, and the reader thread that takes over its stderr.
#pragma once

#include <chrono>

#include "error.hpp"
#include "service/hub/core/managed_core.hpp"
#include "service/hub/core/params.hpp"
#include "service/hub/core/stderr_reader.hpp"
#include "service/hub/core/verification.hpp"

namespace zembra::hub {

// A child takes the owner's real uid as its last step before exec, so the owner may stop it
// there; the Core slot stays locked meanwhile, and no longer than this.
inline constexpr std::chrono::seconds CORE_EXEC_DEADLINE{5};

struct LaunchFailure {
    enum class Stage {
        // Nothing runs: the identity could not be read, fork/exec failed (errno if any), or the
        // child did not exec within CORE_EXEC_DEADLINE; a child has been killed and reaped.
        Spawn,
        // The Core ran but its reader could not start; it has been killed and reaped.
        Capture,
    };
    Stage stage;
    Error error;
};

using StartCapture = Result<void> (*)(service::FileDescriptor pipe,
                                      const service::ChildProcess& core,
                                      std::shared_ptr<const std::atomic<bool>> released);
// Runs in the child right before exec, under the owner's real ids; async-signal-safe calls only.
using BeforeExec = void (*)();

// Blocking, the spawn up to CORE_EXEC_DEADLINE: spawns the Core of `core` for `params` and hands
// its stderr to `start_capture`.
std::expected<ManagedCore, LaunchFailure> launch(const VerifiedCore& core,
                                                 const StartParams& params,
                                                 StartCapture start_capture = start_stderr_capture,
                                                 BeforeExec before_exec = nullptr);

}  // namespace zembra::hub
