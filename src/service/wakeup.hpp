// Wakes one waiting thread. A futex word, so that a wake-up costs a system call only when the
// thread really sleeps, and the woken thread needs no lock to learn it was woken.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zembra::service {

class Wakeup {
  public:
    // Makes the next wait wait again; before the thread lets others know it is waiting.
    void arm() { word_.store(ARMED, std::memory_order_relaxed); }
    // What the waker wrote before wake() is visible to the thread when its wait returns.
    void wake();
    // False when `timeout` passed first.
    bool wait_for(std::chrono::milliseconds timeout);
    void wait();

  private:
    static constexpr std::uint32_t ARMED = 0, SLEEPING = 1, WOKEN = 2;
    // Sleeps while the word says SLEEPING, at most `timeout` unless it is negative.
    void sleep(std::chrono::nanoseconds timeout);

    std::atomic<std::uint32_t> word_{ARMED};
};

}  // namespace zembra::service
