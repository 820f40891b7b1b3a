#include "http/client_presence.hpp"

#include <utility>

namespace zembra::http {

void ClientPresence::on_gone(Callback on_gone) {
    Callback watch;
    {
        std::lock_guard lock(mutex_);
        if (!gone()) {
            on_gone_ = std::move(on_gone);
            watch = std::exchange(watch_, nullptr);
            on_gone = nullptr;
        }
    }
    // Outside the lock: either may call back into this object.
    if (watch) watch();
    if (on_gone) on_gone();
}

void ClientPresence::leave() {
    Callback on_gone;
    {
        std::lock_guard lock(mutex_);
        if (gone()) return;
        gone_.store(true, std::memory_order_release);
        on_gone = std::exchange(on_gone_, nullptr);
        watch_ = nullptr;
    }
    if (on_gone) on_gone();
}

}  // namespace zembra::http
