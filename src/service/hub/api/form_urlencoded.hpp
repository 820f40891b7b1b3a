// Decoding of application/x-www-form-urlencoded text, as browsers and the WHATWG URL Standard
// do it: never fails, every byte string decodes to some list of pairs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zembra::hub {

struct FormPair {
    std::string name;
    std::string value;
    bool operator==(const FormPair&) const = default;
};

// Pieces split at "&" (empty ones skipped), each at its first "="; "+" means a space, valid
// percent-escapes are decoded, and invalid UTF-8 becomes U+FFFD.
std::vector<FormPair> parse_form_urlencoded(std::string_view text);

}  // namespace zembra::hub
