// The request records of the API, as the pipeline parses them.
#pragma once

#include <string>

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

}  // namespace zembra::hub
