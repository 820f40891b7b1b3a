#include "service/hub/api/routes.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "service/hub/api/blocking_task.hpp"
#include "service/hub/api/client_guard.hpp"
#include "service/hub/api/logs_request.hpp"
#include "service/hub/api/ping_request.hpp"
#include "service/hub/api/refusals.hpp"
#include "service/hub/api/request_checks.hpp"
#include "service/hub/api/request_params.hpp"
#include "service/hub/api/responses.hpp"
#include "service/hub/api/start_request.hpp"
#include "service/hub/api/stop_request.hpp"

namespace zembra::hub {
namespace {

using http::Decision;
using http::RequestHead;
namespace decision = http::decision;

enum class Route { Ping, Start, Stop, Logs };

struct RouteEntry {
    Route route;
    std::string_view word;
    std::string_view method;
};

constexpr RouteEntry ROUTES[] = {
    {Route::Ping, "ping", "GET"},
    {Route::Start, "start", "POST"},
    {Route::Stop, "stop", "POST"},
    {Route::Logs, "logs", "GET"},
};

// "/word" or "/word/", compared byte for byte without percent-decoding.
bool path_matches(std::string_view path, std::string_view word) {
    if (!path.starts_with('/')) return false;
    path.remove_prefix(1);
    if (!path.starts_with(word)) return false;
    path.remove_prefix(word.size());
    return path.empty() || path == "/";
}

std::string_view path_of(std::string_view target) {
    return target.substr(0, target.find('?'));
}

std::string_view query_of(std::string_view target) {
    const std::size_t question = target.find('?');
    return question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
}

Decision refuse(Rejection cause) {
    return decision::Respond{handle_rejection(cause)};
}

http::Response ping_task_failed(const std::string& failure) {
    return ping_response(fail("Helper ping task failed: " + failure));
}

http::Response stop_task_failed(const std::string& failure) {
    return error_response("internalError", "Core stop task failed: " + failure, 500);
}

class Pipeline {
  public:
    explicit Pipeline(Handlers handlers) : handlers_(std::move(handlers)) {}

    Decision evaluate(const RequestHead& head) const {
        if (const std::optional<Rejection> refused = guard_client(head)) return refuse(*refused);
        const std::string_view path = path_of(head.target);
        for (const RouteEntry& entry : ROUTES) {
            if (!path_matches(path, entry.word)) continue;
            if (head.method != entry.method) return refuse(Rejection::MethodNotAllowed);
            return accept(entry.route, head);
        }
        return refuse(Rejection::NotFound);
    }

  private:
    Decision accept(Route route, const RequestHead& head) const {
        switch (route) {
            case Route::Ping:
                return ping(head);
            case Route::Start:
                return with_json_body(head, parse_start_body, handlers_.start, start_task_failed,
                                      WithoutClient::Drop);
            case Route::Stop:
                return with_json_body(head, parse_stop_body, handlers_.stop, stop_task_failed,
                                      WithoutClient::Run);
            case Route::Logs:
                return decision::Respond{handlers_.logs()};
        }
        std::unreachable();
    }

    Decision ping(const RequestHead& head) const {
        std::optional<PingParams> params = parse_ping_query(query_of(head.target));
        if (!params) return refuse(Rejection::InvalidQuery);
        return decision::Defer{
            [handler = handlers_.ping, params = std::move(*params)](http::Reply reply) mutable {
                run_blocking(
                    std::move(reply),
                    [handler = std::move(handler), params = std::move(params)] {
                        return handler(params);
                    },
                    ping_task_failed);
            }};
    }

    template <class Params>
    static Decision with_json_body(const RequestHead& head,
                                   std::optional<Params> (*parse)(std::string_view),
                                   const std::function<http::Response(const Params&)>& handler,
                                   http::Response (*on_failure)(const std::string&),
                                   WithoutClient without_client) {
        if (const std::optional<Rejection> refused = check_body_head(head)) return refuse(*refused);
        return decision::ReadBody{
            MAX_BODY_BYTES,
            [parse, handler, on_failure, without_client](std::string body, http::Reply reply) {
                std::optional<Params> params = parse(body);
                if (!params) {
                    reply(handle_rejection(Rejection::BodyDeserializeError));
                    return;
                }
                run_for_core_slot(
                    std::move(reply),
                    [handler, params = std::move(*params)] { return handler(params); }, on_failure,
                    without_client);
            }};
    }

    const Handlers handlers_;
};

}  // namespace

http::Handler routes() {
    return routes(Handlers{ping_request, start_request, stop_request, get_logs});
}

http::Handler routes(Handlers handlers) {
    auto pipeline = std::make_shared<const Pipeline>(std::move(handlers));
    return [pipeline](const RequestHead& head) { return pipeline->evaluate(head); };
}

}  // namespace zembra::hub
