// Process-wide state behind a mutex (the Core slot, the log buffer) and the one way to lock it.
#pragma once

#include <mutex>

namespace zembra::service {

// A value and its mutex, created by the first user and never destroyed: detached threads (a
// Core's stderr reader) may still take the lock while the process exits.
template <class T>
class ProcessWide {
  public:
    constexpr ProcessWide() = default;
    ProcessWide(const ProcessWide&) = delete;
    ProcessWide& operator=(const ProcessWide&) = delete;

  private:
    struct Shared {
        std::mutex mutex;
        T value{};
    };
    Shared& shared() {
        std::call_once(created_, [this] { shared_ = new Shared(); });
        return *shared_;
    }

    std::once_flag created_;
    Shared* shared_ = nullptr;

    template <class U>
    friend class Locked;
};

// Access to a ProcessWide value while its lock is held; the lock is released with this object.
template <class T>
class Locked {
  public:
    explicit Locked(ProcessWide<T>& wide)
        : guard_(wide.shared().mutex), value_(&wide.shared().value) {}

    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }

  private:
    std::unique_lock<std::mutex> guard_;
    T* value_;
};

// Every process-wide mutex is taken through here. A C++ mutex has no poisoned state: a holder
// that throws releases it while unwinding, and its guarded value stays as that holder left it,
// which is exactly the "use the content as left" rule. So this never fails, and there is one
// place to change should that rule ever need more.
template <class T>
Locked<T> lock_surviving_poison(ProcessWide<T>& wide) {
    return Locked<T>(wide);
}

}  // namespace zembra::service
