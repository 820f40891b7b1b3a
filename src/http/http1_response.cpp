#include "http/http1_response.hpp"

#include <ostream>  // boost/core/detail/string_view.hpp needs it before the status header

#include <boost/beast/http/status.hpp>

namespace zembra::http {
namespace {

bool is_framing_field(std::string_view name) {
    return field_name_equals(name, "content-length") ||
           field_name_equals(name, "transfer-encoding") || field_name_equals(name, "connection");
}

}  // namespace

void append_http1_head(const Response& response, Persistence persistence, std::string& out) {
    out += "HTTP/1.1 ";
    out += std::to_string(response.status);
    out += ' ';
    out += boost::beast::http::obsolete_reason(
        static_cast<boost::beast::http::status>(response.status));
    out += "\r\n";
    for (const Field& field : response.fields) {
        if (is_framing_field(field.name)) continue;
        out += field.name;
        out += ": ";
        out += field.value;
        out += "\r\n";
    }
    if (persistence == Persistence::Close) out += "connection: close\r\n";
    if (persistence == Persistence::KeepAliveHttp10) out += "connection: keep-alive\r\n";
    out += "content-length: ";
    out += std::to_string(response.body.size());
    out += "\r\n\r\n";
}

}  // namespace zembra::http
