#include "service/hub/core/managed_core.hpp"

#include <signal.h>

namespace zembra::hub {

constinit service::ProcessWide<CoreSlot> MANAGED_CORE;
constinit std::atomic<bool> SHUTTING_DOWN{false};

Result<void> release_managed_core(CoreSlot& slot) {
    if (!slot) return {};
    slot->released->store(true);
    service::ChildProcess& child = slot->child;
    // A reaped process is never signalled: its id may already belong to another process.
    const bool terminated = !child.exit_status() && child.send_signal(SIGTERM);
    if (terminated) {
        Result<bool> exited = child.wait_for(CORE_TERMINATE_GRACE);
        if (!exited) return fail(std::move(exited.error()));
        if (*exited) {
            slot.reset();
            return {};
        }
    }
    Result<bool> killed = child.kill_and_wait();
    if (!killed) return fail(std::move(killed.error()));
    if (!*killed) return fail("Core did not exit after termination");
    slot.reset();
    return {};
}

}  // namespace zembra::hub
