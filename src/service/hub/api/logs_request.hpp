// GET /logs: the log buffer's lines as plain text.
#pragma once

#include "http/message.hpp"

namespace zembra::hub {

// The lines joined by "\n". Takes the log lock briefly; does not block otherwise.
http::Response get_logs();

}  // namespace zembra::hub
