#include "http/message.hpp"

#include <ostream>

#include "ascii.hpp"

namespace zembra::http {
namespace {

const std::string* find_field(const std::vector<Field>& fields, std::string_view name) {
    for (const Field& field : fields) {
        if (field_name_equals(field.name, name)) return &field.value;
    }
    return nullptr;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Body& body) {
    return out << body.view();
}

bool field_name_equals(std::string_view a, std::string_view b) {
    return equals_ignoring_ascii_case(a, b);
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
