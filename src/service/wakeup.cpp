#include "service/wakeup.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace zembra::service {
namespace {

using Clock = std::chrono::steady_clock;

void futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr, 0);
}

}  // namespace

void Wakeup::wake() {
    if (word_.exchange(WOKEN, std::memory_order_acq_rel) == SLEEPING)
        futex(word_, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

bool Wakeup::wait_for(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (word_.load(std::memory_order_acquire) == WOKEN) return true;
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        sleep(left);
    }
}

void Wakeup::wait() {
    while (word_.load(std::memory_order_acquire) != WOKEN)
        sleep(std::chrono::nanoseconds(-1));
}

void Wakeup::sleep(std::chrono::nanoseconds timeout) {
    std::uint32_t armed = ARMED;
    if (!word_.compare_exchange_strong(armed, SLEEPING, std::memory_order_acquire) &&
        armed != SLEEPING)
        return;  // woken meanwhile
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec relative{seconds.count(), (timeout - seconds).count()};
    // Returns at a wake-up, a signal, the timeout, or at once when the word changed already.
    futex(word_, FUTEX_WAIT_PRIVATE, SLEEPING, timeout.count() < 0 ? nullptr : &relative);
}

}  // namespace zembra::service
