// A stress case's view of the helper under attack: its footprint, sampled whenever the hostile
// client asks whether to go on, and GET /logs asked by a fresh owner client every half second,
// so a case shows both that the helper holds little and that its owner is still served. The
// verdict is a set of gtest expectations; keep_going() turns false as soon as a bound is
// exceeded, so a failing case stops its client early instead of growing the helper further.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "support/footprint.hpp"
#include "support/service.hpp"

namespace zembra::test {

// A fresh owner client must have its answer's head within this.
inline constexpr std::chrono::milliseconds SERVED_WITHIN{1000};

struct Bounds {
    std::size_t memory_growth_kib;  // resident memory above the idle helper's
    std::size_t threads;
    std::size_t descriptors;
};

struct Probe {
    bool served = false;                // 200 within SERVED_WITHIN, then the whole body
    std::chrono::milliseconds took{0};  // until the answer's head
    std::string failure;
};

// GET /logs over HTTP/1.1 on a fresh connection made with the owner's ids.
Probe probe_logs(const std::string& socket);

// Service options for a helper under stress: under AddressSanitizer its quarantine of freed
// memory is kept small, or freed memory would count as resident for hundreds of MiB.
ServiceOptions stressed_service_options(ServiceOptions options = {});

class HelperWatch {
  public:
    // Probes once, then takes the idle footprint, so the first answer's buffers are not growth.
    HelperWatch(const HelperService& helper, Bounds bounds);

    bool keep_going();
    // Probes once more and checks every bound over the whole case; call once the clients left.
    void expect_bounds_held();

  private:
    void sample();
    void probe();
    // The case's bound, widened for a sanitizer's own memory.
    std::size_t memory_bound_kib() const;

    pid_t pid_;
    std::string socket_;
    Bounds bounds_;
    Footprint idle_;
    Footprint peak_;
    bool helper_gone_ = false;
    bool exceeded_ = false;
    std::size_t probes_ = 0;
    std::vector<std::string> probe_failures_;
    std::chrono::steady_clock::time_point last_sample_{};
    std::chrono::steady_clock::time_point last_probe_{};
};

}  // namespace zembra::test
