#include "service/hub/core/launch.hpp"

#include <string>
#include <vector>

#include "service/linux/owner.hpp"

extern char** environ;

namespace zembra::hub {

std::expected<ManagedCore, LaunchFailure> launch(const VerifiedCore& core,
                                                 const StartParams& params,
                                                 StartCapture start_capture,
                                                 BeforeExec before_exec) {
    using Stage = LaunchFailure::Stage;
    // Read afresh: the owner the child runs as is the one configured at this moment.
    Result<service::OwnerIds> owner = service::owner_from_env();
    if (!owner) return std::unexpected(LaunchFailure{Stage::Spawn, std::move(owner.error())});
    Result<service::Pipe> stderr_pipe = service::close_on_exec_pipe();
    if (!stderr_pipe)
        return std::unexpected(LaunchFailure{Stage::Spawn, std::move(stderr_pipe.error())});
    // The Core's path is also its argv[0].
    std::vector<char*> argv = {const_cast<char*>(core.executable.c_str()),
                               const_cast<char*>(params.address.c_str()), nullptr};
    Result<service::ChildProcess> child =
        service::spawn_child({.name = "Core",
                              .program = core.file.get(),
                              .program_is_script = core.script,
                              .argv = argv.data(),
                              .envp = environ,
                              .directory = core.directory.get(),
                              .stderr_fd = stderr_pipe->write.get(),
                              .real_ids = *owner,
                              .before_exec = before_exec},
                             CORE_EXEC_DEADLINE);
    stderr_pipe->write.reset();
    if (!child) return std::unexpected(LaunchFailure{Stage::Spawn, std::move(child.error())});
    ManagedCore managed{params.session_id, std::move(*child)};
    Result<void> capturing =
        start_capture(std::move(stderr_pipe->read), managed.child, managed.released);
    if (!capturing) {
        // Nobody would supervise this root process: it must not outlive the failed start.
        (void)managed.child.kill_and_wait();
        return std::unexpected(LaunchFailure{Stage::Capture, std::move(capturing.error())});
    }
    return managed;
}

}  // namespace zembra::hub
