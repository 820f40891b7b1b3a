// Waiting for what another thread or process brings about: the condition is polled until it
// holds or the time runs out.
#pragma once

#include <chrono>
#include <thread>

namespace zembra::test {

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds within = std::chrono::seconds(3)) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace zembra::test
