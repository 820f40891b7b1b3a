#include "service/hub/api/json_writer.hpp"

namespace zembra::hub {

// Room for the typical error body without a reallocation.
constexpr std::size_t INITIAL_CAPACITY = 128;

JsonObjectWriter::JsonObjectWriter() {
    out_.reserve(INITIAL_CAPACITY);
    out_ += '{';
}

JsonObjectWriter& JsonObjectWriter::string(std::string_view name, std::string_view value) {
    key(name);
    quoted(value);
    return *this;
}

JsonObjectWriter& JsonObjectWriter::integer(std::string_view name, std::int64_t value) {
    key(name);
    out_ += std::to_string(value);
    return *this;
}

JsonObjectWriter& JsonObjectWriter::boolean(std::string_view name, bool value) {
    key(name);
    out_ += value ? "true" : "false";
    return *this;
}

JsonObjectWriter& JsonObjectWriter::begin_object(std::string_view name) {
    key(name);
    out_ += '{';
    first_ = true;
    return *this;
}

JsonObjectWriter& JsonObjectWriter::end_object() {
    out_ += '}';
    first_ = false;
    return *this;
}

std::string JsonObjectWriter::finish() && {
    out_ += '}';
    return std::move(out_);
}

void JsonObjectWriter::key(std::string_view name) {
    if (!first_) out_ += ',';
    first_ = false;
    quoted(name);
    out_ += ':';
}

void JsonObjectWriter::quoted(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    out_ += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out_ += "\\\"";
                break;
            case '\\':
                out_ += "\\\\";
                break;
            case '\b':
                out_ += "\\b";
                break;
            case '\t':
                out_ += "\\t";
                break;
            case '\n':
                out_ += "\\n";
                break;
            case '\f':
                out_ += "\\f";
                break;
            case '\r':
                out_ += "\\r";
                break;
            default:
                if (byte < 0x20) {
                    out_ += "\\u00";
                    out_ += HEX[byte >> 4];
                    out_ += HEX[byte & 0xF];
                } else {
                    out_ += c;
                }
        }
    }
    out_ += '"';
}

}  // namespace zembra::hub
