#include "http/message.hpp"

#include <algorithm>

namespace zembra::http {
namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

const std::string* find_field(const std::vector<Field>& fields, std::string_view name) {
    for (const Field& field : fields) {
        if (field_name_equals(field.name, name)) return &field.value;
    }
    return nullptr;
}

}  // namespace

bool field_name_equals(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) { return lower(x) == lower(y); });
}

const std::string* RequestHead::field(std::string_view name) const {
    return find_field(fields, name);
}

const std::string* Response::field(std::string_view name) const {
    return find_field(fields, name);
}

void Response::set_field(std::string_view name, std::string value) {
    for (Field& field : fields) {
        if (field_name_equals(field.name, name)) {
            field.value = std::move(value);
            return;
        }
    }
    fields.push_back({std::string(name), std::move(value)});
}

bool Response::closes_connection() const {
    const std::string* value = field("connection");
    return value != nullptr && field_name_equals(*value, "close");
}

}  // namespace zembra::http
