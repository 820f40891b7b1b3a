#include "service/hub/api/blocking_task.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "service/blocking_pool.hpp"
#include "service/hub/api/refusals.hpp"

namespace zembra::hub {
namespace {

// What a task that never ran answers.
enum class WhenDropped {
    // The pool is gone or could not start a thread: the task failed.
    TaskFailed,
    // The Core slot's queue had no room: the client should try again.
    HelperBusy,
};

// Owns the request's reply until it is used; a task destroyed before it ran still answers.
class BlockingTask {
  public:
    BlockingTask(http::Reply reply, BlockingWork work, TaskFailureAnswer on_failure,
                 WhenDropped when_dropped, WithoutClient without_client)
        : reply_(std::move(reply)),
          work_(std::move(work)),
          on_failure_(std::move(on_failure)),
          when_dropped_(when_dropped),
          without_client_(without_client) {}
    BlockingTask(const BlockingTask&) = delete;
    BlockingTask& operator=(const BlockingTask&) = delete;

    ~BlockingTask() {
        if (!reply_) return;
        reply_(when_dropped_ == WhenDropped::HelperBusy
                   ? handle_rejection(Rejection::HelperBusy)
                   : on_failure_("the task was dropped before it ran"));
    }

    const http::Reply& reply() const { return reply_; }

    void run() {
        // Nobody would read the answer: unless wanted all the same, the work is not done.
        if (without_client_ == WithoutClient::Drop && reply_.client()->gone()) {
            reply_ = {};
            return;
        }
        std::optional<http::Response> response;
        try {
            response = work_();
        } catch (const std::exception& e) {
            response = on_failure_(e.what());
        } catch (...) {
            response = on_failure_("the task threw an unknown exception");
        }
        reply_(std::move(*response));
    }

  private:
    http::Reply reply_;
    BlockingWork work_;
    TaskFailureAnswer on_failure_;
    WhenDropped when_dropped_;
    WithoutClient without_client_;
};

std::optional<service::BlockingTicket> spawn_task(service::BlockingLane lane,
                                                  std::unique_ptr<BlockingTask> task) {
    const std::uint64_t connection = task->reply().client()->connection();
    return service::spawn_blocking(
        lane, [task = std::move(task)] { task->run(); }, connection);
}

}  // namespace

void run_blocking(http::Reply reply, BlockingWork work, TaskFailureAnswer on_failure) {
    (void)spawn_task(
        service::BlockingLane::Quick,
        std::make_unique<BlockingTask>(std::move(reply), std::move(work), std::move(on_failure),
                                       WhenDropped::TaskFailed, WithoutClient::Drop));
}

void run_for_core_slot(http::Reply reply, BlockingWork work, TaskFailureAnswer on_failure,
                       WithoutClient without_client) {
    const std::shared_ptr<http::ClientPresence> client = reply.client();
    const std::optional<service::BlockingTicket> ticket = spawn_task(
        service::BlockingLane::CoreSlot,
        std::make_unique<BlockingTask>(std::move(reply), std::move(work), std::move(on_failure),
                                       WhenDropped::HelperBusy, without_client));
    if (!ticket || without_client == WithoutClient::Run) return;
    // It leaves the queue at once, so that its room is free for a client that waits.
    client->on_gone([ticket = *ticket] {
        service::withdraw_blocking(service::BlockingLane::CoreSlot, ticket);
    });
}

}  // namespace zembra::hub
