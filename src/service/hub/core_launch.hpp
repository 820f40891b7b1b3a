// Spawning the verified Core: argument vector, working directory, stderr pipe, the owner's real
// ids under root's effective ids, and the reader thread that takes over its stderr.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "service/hub/core_stderr.hpp"
#include "service/hub/core_verification.hpp"
#include "service/hub/managed_core.hpp"
#include "service/hub/params.hpp"
#include "service/linux/owner.hpp"

namespace zembra::hub {

// What the child becomes: `program` (also its argv[0]) with `arguments`, run in `directory`,
// with the helper's environment, stdin and stdout, and its stderr on a pipe.
struct CoreCommand {
    std::string program;
    std::vector<std::string> arguments;
    std::string directory;
    // Real ids the child takes just before exec; effective and saved ids stay 0.
    std::optional<service::OwnerIds> owner;
};

// Reads the owner ids afresh and makes the child take them as its real ids.
Result<void> adopt_core_owner(CoreCommand& command);

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

using StartCapture = Result<void> (*)(service::FileDescriptor pipe, std::string session_id);

// Blocking: spawns the Core of `core` for `params` and hands its stderr to `start_capture`.
std::expected<ManagedCore, LaunchFailure> launch(const VerifiedCore& core,
                                                 const StartParams& params,
                                                 StartCapture start_capture = start_stderr_capture);

}  // namespace zembra::hub
