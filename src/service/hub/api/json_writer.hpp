// A compact JSON writer for the API's flat records: members are written straight into one
// growable buffer, with no document tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zembra::hub {

class JsonObjectWriter {
  public:
    JsonObjectWriter();

    JsonObjectWriter& string(std::string_view key, std::string_view value);
    JsonObjectWriter& integer(std::string_view key, std::int64_t value);
    JsonObjectWriter& boolean(std::string_view key, bool value);
    // Opens a nested object under `key`; close it with end_object().
    JsonObjectWriter& begin_object(std::string_view key);
    JsonObjectWriter& end_object();

    // Closes the outermost object and hands over the text.
    std::string finish() &&;

  private:
    void key(std::string_view name);
    void quoted(std::string_view text);

    std::string out_;
    bool first_ = true;
};

}  // namespace zembra::hub
