// What the Core's operations take: the records of a ping, a start and a stop, and the accepted
// forms of the Core address and of a Core session id.
#pragma once

#include <string>
#include <string_view>

namespace zembra::hub {

struct PingParams {
    std::string core_sha256;
};

struct StartParams {
    std::string address;
    std::string session_id;
};

struct StopParams {
    std::string session_id;
};

// "/tmp/MorvikSocket_" + 1 to 10 ASCII digits + ".sock", nothing else.
bool is_core_address(std::string_view text);
// Exactly 32 characters of 0-9 and a-f.
bool is_session_id(std::string_view text);

}  // namespace zembra::hub
