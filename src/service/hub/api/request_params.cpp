#include "service/hub/api/request_params.hpp"

#include <array>

#include "service/hub/api/form_urlencoded.hpp"
#include "service/hub/api/json_record.hpp"

namespace zembra::hub {
namespace {

constexpr std::string_view CORE_SHA256_KEY = "coreSha256";
// In declaration order: the array form of a body lists the values in this order.
constexpr std::array<std::string_view, 2> START_KEYS = {"address", "sessionId"};
constexpr std::array<std::string_view, 1> STOP_KEYS = {"sessionId"};

}  // namespace

std::optional<PingParams> parse_ping_query(std::string_view query) {
    std::vector<FormPair> pairs = parse_form_urlencoded(query);
    if (pairs.size() != 1 || pairs.front().name != CORE_SHA256_KEY) return std::nullopt;
    return PingParams{std::move(pairs.front().value)};
}

std::optional<StartParams> parse_start_body(std::string_view body) {
    std::optional<std::vector<std::string>> values = parse_json_record(body, START_KEYS);
    if (!values) return std::nullopt;
    return StartParams{std::move((*values)[0]), std::move((*values)[1])};
}

std::optional<StopParams> parse_stop_body(std::string_view body) {
    std::optional<std::vector<std::string>> values = parse_json_record(body, STOP_KEYS);
    if (!values) return std::nullopt;
    return StopParams{std::move((*values)[0])};
}

}  // namespace zembra::hub
