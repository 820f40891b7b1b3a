#include "support/http_answer.hpp"

#include <cctype>
#include <stdexcept>

namespace zembra::test {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::string> HttpAnswer::field(std::string_view name) const {
    for (const auto& [n, v] : fields)
        if (n == name) return v;
    return std::nullopt;
}

pid_t started_pid(const HttpAnswer& answer) {
    const std::size_t pid_at = answer.body.find("\"pid\":");
    return pid_at == std::string::npos ? -1 : std::stoi(answer.body.substr(pid_at + 6));
}

HttpAnswer parse_http_answer(std::string_view bytes) {
    const std::size_t head_end = bytes.find("\r\n\r\n");
    if (!bytes.starts_with("HTTP/") || head_end == std::string_view::npos)
        throw std::runtime_error("not an HTTP response: " + std::string(bytes.substr(0, 200)));
    std::string_view head = bytes.substr(0, head_end + 2);
    HttpAnswer answer;
    answer.body = std::string(bytes.substr(head_end + 4));

    std::size_t line_end = head.find("\r\n");
    const std::string_view status_line = head.substr(0, line_end);
    const std::size_t space = status_line.find(' ');
    if (space == std::string_view::npos || status_line.size() < space + 4)
        throw std::runtime_error("bad status line: " + std::string(status_line));
    answer.status = std::stoi(std::string(status_line.substr(space + 1, 3)));

    head.remove_prefix(line_end + 2);
    while (!head.empty()) {
        line_end = head.find("\r\n");
        const std::string_view line = head.substr(0, line_end);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            throw std::runtime_error("bad header line: " + std::string(line));
        answer.fields.emplace_back(lower(line.substr(0, colon)),
                                   std::string(trim(line.substr(colon + 1))));
        head.remove_prefix(line_end + 2);
    }
    return answer;
}

}  // namespace zembra::test
