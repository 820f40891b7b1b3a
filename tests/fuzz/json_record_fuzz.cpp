// The JSON body reader against Boost.JSON's document parser: a body it accepts is a JSON text
// holding exactly the record, and every record a JSON text holds is accepted, as an array or in
// the canonical form of the object.
#include <array>
#include <string>
#include <vector>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "service/hub/api/json_record.hpp"
#include "support/fuzz_check.hpp"

namespace {

using namespace zembra;
namespace json = boost::json;

using Keys = std::span<const std::string_view>;

// The record's values if `document` holds one in either form.
std::optional<std::vector<std::string>> record_in(const json::value& document, Keys keys) {
    std::vector<std::string> values;
    if (const json::array* array = document.if_array()) {
        if (array->size() != keys.size()) return std::nullopt;
        for (const json::value& item : *array) {
            if (!item.is_string()) return std::nullopt;
            values.emplace_back(item.get_string());
        }
        return values;
    }
    const json::object* object = document.if_object();
    if (object == nullptr || object->size() != keys.size()) return std::nullopt;
    for (const std::string_view key : keys) {
        const json::value* item = object->if_contains(key);
        if (item == nullptr || !item->is_string()) return std::nullopt;
        values.emplace_back(item->get_string());
    }
    return values;
}

void check(std::string_view body, Keys keys) {
    const std::optional<std::vector<std::string>> read = hub::parse_json_record(body, keys);
    json::error_code ec;
    const json::value document = json::parse(body, ec);
    if (read) {
        FUZZ_CHECK(!ec);
        FUZZ_CHECK(record_in(document, keys) == read);
    }
    if (ec) return;
    const std::optional<std::vector<std::string>> held = record_in(document, keys);
    if (!held) return;
    if (document.is_array()) FUZZ_CHECK(read == held);
    FUZZ_CHECK(hub::parse_json_record(json::serialize(document), keys) == held);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::array<std::string_view, 2> START_KEYS = {"address", "sessionId"};
    constexpr std::array<std::string_view, 1> STOP_KEYS = {"sessionId"};
    const std::string_view body = fuzz::text_of(data, size);
    check(body, START_KEYS);
    check(body, STOP_KEYS);
    return 0;
}
