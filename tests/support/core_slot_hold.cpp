#include "support/core_slot_hold.hpp"

#include <signal.h>

#include <chrono>
#include <optional>
#include <stdexcept>

#include "service/blocking_pool.hpp"
#include "support/curl.hpp"
#include "support/effective_ids.hpp"
#include "support/eventually.hpp"
#include "support/footprint.hpp"
#include "support/service.hpp"

namespace zembra::test {
namespace {

using namespace std::chrono_literals;

H2Request stop_request(const std::string& session_id) {
    return json_post("/stop", "{\"sessionId\":\"" + session_id + "\"}");
}

std::unique_ptr<H2Client> owner_client(const std::string& socket) {
    const EffectiveIds owner(TEST_OWNER_UID, TEST_OWNER_GID);
    return std::make_unique<H2Client>(socket);
}

}  // namespace

CoreSlotHold::CoreSlotHold(const std::string& socket, const CoreAddress& address,
                           const std::string& session_id)
    : socket_(socket), session_id_(session_id) {
    const HttpAnswer started = curl_exchange(
        Protocol::Http1,
        {.method = "POST",
         .target = "/start",
         .body = "{\"address\":\"" + address.path() + "\",\"sessionId\":\"" + session_id + "\"}",
         .content_type = "application/json",
         .socket = socket});
    core_ = started_pid(started);
    if (started.status != 200 || core_ < 0)
        throw std::runtime_error("the Core to hold the slot with did not start: " + started.body);
    ::kill(core_, SIGSTOP);
    // Stopped before the helper's SIGTERM comes, which would otherwise be taken first.
    const bool stopped = eventually([&] {
        const std::optional<ProcessState> state = read_process_state(core_);
        return state && state->state == 'T';
    });
    if (!stopped) throw std::runtime_error("the Core to hold the slot with did not stop");
    stopper_ = owner_client(socket);
    stop_stream_ = stopper_->submit(stop_request(session_id));
    const bool terminating = eventually(
        [&] {
            stopper_->run_until([] { return false; }, 10ms);
            return signal_pending(core_, SIGTERM);
        },
        5s);
    if (!terminating) throw std::runtime_error("the helper did not begin to stop the held Core");
}

CoreSlotHold::~CoreSlotHold() {
    // The helper kills the Core once the 3 s are over; a stopped Core would otherwise stay so.
    ::kill(core_, SIGCONT);
}

void CoreSlotHold::fill_queue() {
    const std::size_t per_connection = service::MAX_WAITING_CORE_SLOT_JOBS_PER_CONNECTION;
    for (std::size_t queued = 0; queued < service::MAX_WAITING_CORE_SLOT_JOBS;
         queued += per_connection) {
        queued_.push_back(owner_client(socket_));
        H2Client& client = *queued_.back();
        for (std::size_t i = 0; i < per_connection; ++i)
            client.submit(stop_request(session_id_));
        // Streams are decided in order: once this is answered, the stops before it are queued.
        if (!client.finish(client.submit({.path = "/logs"})))
            throw std::runtime_error("the helper did not answer while the slot was held");
    }
}

int CoreSlotHold::release() {
    if (!stopper_->finish(stop_stream_, 10s))
        throw std::runtime_error("the held stop was not answered");
    for (const auto& client : queued_)
        client->run_until([] { return false; }, 100ms);
    return stopper_->response(stop_stream_).status;
}

}  // namespace zembra::test
