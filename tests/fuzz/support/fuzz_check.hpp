// The properties a fuzz target asserts beyond "no crash, no sanitizer report": a broken one
// aborts, and libFuzzer keeps the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zembra::fuzz {

[[noreturn]] void fail(const char* condition, const char* file, int line);

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace zembra::fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? void() : ::zembra::fuzz::fail(#condition, __FILE__, __LINE__))
