// The request pipeline shared by every connection: the client guard, the four routes (ping,
// start, stop, logs) with their path, method and input checks, and the refusal answers.
// Built once; immutable; safe to run for many requests at once; never blocks.
#pragma once

#include <functional>

#include "http/message.hpp"
#include "service/hub/core/params.hpp"

namespace zembra::hub {

// What the routes run once a request is accepted. ping, start and stop may block and run on
// the blocking pool; logs runs directly and must not block.
struct Handlers {
    std::function<http::Response(const PingParams&)> ping;
    std::function<http::Response(const StartParams&)> start;
    std::function<http::Response(const StopParams&)> stop;
    std::function<http::Response()> logs;
};

// The pipeline over the helper's own handlers.
http::Handler routes();
http::Handler routes(Handlers handlers);

}  // namespace zembra::hub
