#include "service/identity.hpp"

#include "ascii.hpp"
#include "service/linux/executable_path.hpp"

namespace zembra::service {
namespace {

constexpr std::string_view PRE_EXECUTABLE = "ZembraPreHelperService";

// The name without its last extension; a leading dot does not start an extension.
std::string_view file_stem(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

bool compute_pre_release() {
    const Result<std::string> path = current_executable_path();
    if (!path) return false;
    const std::size_t slash = path->rfind('/');
    const std::string_view name = slash == std::string::npos
                                      ? std::string_view(*path)
                                      : std::string_view(*path).substr(slash + 1);
    return is_pre_release_file_name(name);
}

}  // namespace

// A stem that matches under ASCII folding is plain ASCII, so it needs no UTF-8 check; "", "."
// and ".." have stems that cannot match.
bool is_pre_release_file_name(std::string_view name) {
    return equals_ignoring_ascii_case(file_stem(name), PRE_EXECUTABLE);
}

bool pre_release() {
    static const bool PRE = compute_pre_release();
    return PRE;
}

std::string_view service_name() {
    return pre_release() ? "zembra-pre-helper" : "zembra-helper";
}

std::string_view executable_name() {
    return pre_release() ? PRE_EXECUTABLE : "ZembraHelperService";
}

std::string_view runtime_directory_name() {
    return pre_release() ? "zembra-pre" : "zembra";
}

}  // namespace zembra::service
