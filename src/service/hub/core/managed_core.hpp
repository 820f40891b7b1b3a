// The one supervised Core process: its record, the process-wide slot that holds it, the flag
// that tells starts the helper is going down, and the bounded stop sequence.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "error.hpp"
#include "service/linux/process.hpp"
#include "service/process_wide.hpp"

namespace zembra::hub {

using namespace std::chrono_literals;

// How long the Core has to exit after SIGTERM; after SIGKILL it has service::KILL_GRACE.
inline constexpr std::chrono::nanoseconds CORE_TERMINATE_GRACE = 3s;

struct ManagedCore {
    std::string session_id;
    service::ChildProcess child;
    // Set once the slot begins to stop the Core: from then on the stop reaps it, and the Core's
    // stderr reader, which shares this, leaves it alone instead of waiting for the slot's lock.
    std::shared_ptr<std::atomic<bool>> released = std::make_shared<std::atomic<bool>>(false);
};

using CoreSlot = std::optional<ManagedCore>;

// The slot of the one Core. Taken with lock_surviving_poison, always before LOGS.
extern constinit service::ProcessWide<CoreSlot> MANAGED_CORE;

// Set once by the shutdown before it takes MANAGED_CORE; read by starts under that lock.
extern constinit std::atomic<bool> SHUTTING_DOWN;

// Blocking, up to about 4.5 s. Stops the Core in `slot` (the value of MANAGED_CORE, whose
// lock the caller holds): SIGTERM, up to 3 s, then SIGKILL, up to 1.5 s. The slot is empty on
// success; on failure the record stays, so a later call repeats the whole sequence.
Result<void> release_managed_core(CoreSlot& slot);

}  // namespace zembra::hub
