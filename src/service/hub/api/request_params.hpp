// The wire forms of the request records: the ping query and the start and stop bodies. Keys
// match byte for byte; every key is required, once; a foreign key is refused.
#pragma once

#include <optional>
#include <string_view>

#include "service/hub/core/params.hpp"

namespace zembra::hub {

// `query` is the text after the first "?" of the target (empty without one).
std::optional<PingParams> parse_ping_query(std::string_view query);
std::optional<StartParams> parse_start_body(std::string_view body);
std::optional<StopParams> parse_stop_body(std::string_view body);

}  // namespace zembra::hub
