#include "service/hub/api/json_record.hpp"

#include <boost/json/basic_parser_impl.hpp>

namespace zembra::hub {
namespace {

namespace json = boost::json;

// SAX events arrive as the parser meets them, so a repeated key or a value of the wrong type
// fails the parse on the spot, before any tree is built.
class RecordHandler {
  public:
    static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

    explicit RecordHandler(std::span<const std::string_view> keys)
        : keys_(keys), values_(keys.size()), seen_(keys.size(), false) {}

    std::vector<std::string> take_values() { return std::move(values_); }

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }

    bool on_object_begin(json::error_code& ec) { return open(Shape::Object, ec); }
    bool on_object_end(std::size_t, json::error_code& ec) {
        for (bool seen : seen_) {
            if (!seen) return refuse(ec);
        }
        return true;
    }
    bool on_array_begin(json::error_code& ec) { return open(Shape::Array, ec); }
    bool on_array_end(std::size_t count, json::error_code& ec) {
        return count == keys_.size() || refuse(ec);
    }

    bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
        text_.append(part.data(), part.size());
        return true;
    }
    bool on_key(json::string_view part, std::size_t, json::error_code& ec) {
        text_.append(part.data(), part.size());
        const auto known = std::ranges::find(keys_, std::string_view(text_));
        text_.clear();
        if (known == keys_.end()) return refuse(ec);
        current_ = static_cast<std::size_t>(known - keys_.begin());
        if (seen_[current_]) return refuse(ec);
        seen_[current_] = true;
        return true;
    }

    bool on_string_part(json::string_view part, std::size_t, json::error_code& ec) {
        if (shape_ == Shape::None) return refuse(ec);
        text_.append(part.data(), part.size());
        return true;
    }
    bool on_string(json::string_view part, std::size_t, json::error_code& ec) {
        if (shape_ == Shape::None) return refuse(ec);
        text_.append(part.data(), part.size());
        if (shape_ == Shape::Array) {
            if (current_ == keys_.size()) return refuse(ec);
            values_[current_++] = std::move(text_);
        } else {
            values_[current_] = std::move(text_);
        }
        text_.clear();
        return true;
    }

    bool on_number_part(json::string_view, json::error_code& ec) { return refuse(ec); }
    bool on_int64(std::int64_t, json::string_view, json::error_code& ec) { return refuse(ec); }
    bool on_uint64(std::uint64_t, json::string_view, json::error_code& ec) { return refuse(ec); }
    bool on_double(double, json::string_view, json::error_code& ec) { return refuse(ec); }
    bool on_bool(bool, json::error_code& ec) { return refuse(ec); }
    bool on_null(json::error_code& ec) { return refuse(ec); }
    bool on_comment_part(json::string_view, json::error_code& ec) { return refuse(ec); }
    bool on_comment(json::string_view, json::error_code& ec) { return refuse(ec); }

  private:
    enum class Shape { None, Object, Array };

    // Only the outermost value may be an object or an array.
    bool open(Shape shape, json::error_code& ec) {
        if (shape_ != Shape::None) return refuse(ec);
        shape_ = shape;
        return true;
    }

    static bool refuse(json::error_code& ec) {
        ec = json::error::syntax;
        return false;
    }

    std::span<const std::string_view> keys_;
    std::vector<std::string> values_;
    std::vector<bool> seen_;
    std::string text_;
    Shape shape_ = Shape::None;
    // The value slot the next string fills: the last key's in an object, the next in an array.
    std::size_t current_ = 0;
};

}  // namespace

std::optional<std::vector<std::string>> parse_json_record(std::string_view body,
                                                          std::span<const std::string_view> keys) {
    json::basic_parser<RecordHandler> parser(json::parse_options{}, keys);
    json::error_code ec;
    const std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
    if (ec || !parser.done() || used != body.size()) return std::nullopt;
    return parser.handler().take_values();
}

}  // namespace zembra::hub
