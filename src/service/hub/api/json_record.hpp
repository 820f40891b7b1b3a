// Strict parsing of a request body into a flat record of text values: one JSON text (RFC 8259,
// UTF-8, whitespace only around it) that is either an object with exactly the record's keys,
// each once, or an array of the values in the record's key order. Every value a string.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zembra::hub {

// The values in the order of `keys`, or none if `body` is not such a record.
std::optional<std::vector<std::string>> parse_json_record(std::string_view body,
                                                          std::span<const std::string_view> keys);

}  // namespace zembra::hub
