// What the HTTP server hands to the application and takes back: a request head, a body,
// and a response. Protocol-neutral: the same for HTTP/1.1 and HTTP/2.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "http/client_presence.hpp"

namespace zembra::http {

struct Field {
    std::string name;
    std::string value;
};

// Case-insensitive (ASCII) comparison of field names.
bool field_name_equals(std::string_view a, std::string_view b);

struct RequestHead {
    std::string method;
    // Origin-form target: the path with its query ("/ping?coreSha256=..."); HTTP/2's :path.
    std::string target;
    // Header fields in arrival order, names as received (HTTP/2 pseudo-headers excluded).
    std::vector<Field> fields;
    // The declared body length when the request carries one valid Content-Length; none when
    // the field is absent, unreadable, or the body is chunked.
    std::optional<std::uint64_t> content_length;

    // The value of the first field called `name`, if any.
    const std::string* field(std::string_view name) const;
};

// A response body: immutable text, shared by every response that carries it, so one snapshot
// sent to many clients is held once and never copied on its way to the sockets.
class Body {
  public:
    Body() = default;
    Body(std::string text) : text_(std::make_shared<const std::string>(std::move(text))) {}
    Body(const char* text) : Body(std::string(text)) {}
    explicit Body(std::shared_ptr<const std::string> shared) : text_(std::move(shared)) {}

    std::string_view view() const { return text_ ? std::string_view(*text_) : std::string_view(); }
    std::size_t size() const { return view().size(); }
    bool empty() const { return view().empty(); }

    friend bool operator==(const Body& body, std::string_view text) { return body.view() == text; }

  private:
    std::shared_ptr<const std::string> text_;
};

std::ostream& operator<<(std::ostream& out, const Body& body);

struct Response {
    unsigned status = 200;
    std::vector<Field> fields;
    Body body;

    // Sets the field, replacing the first field of the same name if there is one.
    void set_field(std::string_view name, std::string value);
    const std::string* field(std::string_view name) const;
    // True when the response carries "connection: close": an HTTP/1.1 connection ends after
    // it; HTTP/2 drops the field and keeps the connection.
    bool closes_connection() const;
};

// Delivers the response of one request, and tells whether its client still waits for it. Call it
// once, from any thread; the server moves it to the connection's own executor. Calling it after
// the client went away is harmless.
class Reply {
  public:
    using Deliver = std::move_only_function<void(Response)>;

    Reply() = default;
    // Without `client` (a reply made outside a connection) the client never goes.
    template <class F>
    requires std::is_invocable_v<F&, Response> &&(!std::is_same_v<std::decay_t<F>, Reply>)
        Reply(F deliver, std::shared_ptr<ClientPresence> client = nullptr)
        : deliver_(std::move(deliver)),
          client_(client ? std::move(client) : std::make_shared<ClientPresence>(0)) {}

    // Once: the reply is empty afterwards.
    void operator()(Response response) { std::exchange(deliver_, nullptr)(std::move(response)); }
    explicit operator bool() const { return static_cast<bool>(deliver_); }
    const std::shared_ptr<ClientPresence>& client() const { return client_; }

  private:
    Deliver deliver_;
    std::shared_ptr<ClientPresence> client_;
};

// The application's decision on a request head, taken before any body byte is read.
namespace decision {
// Answer now; the body, if any, is never read.
struct Respond {
    Response response;
};
// Answer later without a body: `start` runs on the connection's executor and must not block;
// it hands `reply` to wherever the work happens.
struct Defer {
    std::move_only_function<void(Reply)> start;
};
// Read the body (the declared length is at most `limit`), then call `then` on the
// connection's executor with the whole body.
struct ReadBody {
    std::size_t limit;
    std::move_only_function<void(std::string body, Reply)> then;
};
}  // namespace decision

using Decision = std::variant<decision::Respond, decision::Defer, decision::ReadBody>;

// The application: immutable, shared by all connections, called concurrently.
using Handler = std::function<Decision(const RequestHead&)>;

}  // namespace zembra::http
