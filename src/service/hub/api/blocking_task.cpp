#include "service/hub/api/blocking_task.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <utility>

namespace zembra::hub {
namespace {

// Owns the request's reply until it is used; a task destroyed before it ran (the pool was
// shut down or could not start a thread) still answers.
class BlockingTask {
  public:
    BlockingTask(http::Reply reply, BlockingWork work, TaskFailureAnswer on_failure)
        : reply_(std::move(reply)), work_(std::move(work)), on_failure_(std::move(on_failure)) {}
    BlockingTask(const BlockingTask&) = delete;
    BlockingTask& operator=(const BlockingTask&) = delete;

    ~BlockingTask() {
        if (reply_) answer(on_failure_("the task was dropped before it ran"));
    }

    void run() {
        std::optional<http::Response> response;
        try {
            response = work_();
        } catch (const std::exception& e) {
            response = on_failure_(e.what());
        } catch (...) {
            response = on_failure_("the task threw an unknown exception");
        }
        answer(std::move(*response));
    }

  private:
    void answer(http::Response response) {
        http::Reply reply = std::exchange(reply_, nullptr);
        reply(std::move(response));
    }

    http::Reply reply_;
    BlockingWork work_;
    TaskFailureAnswer on_failure_;
};

}  // namespace

void run_blocking(service::BlockingLane lane, http::Reply reply, BlockingWork work,
                  TaskFailureAnswer on_failure) {
    auto task =
        std::make_unique<BlockingTask>(std::move(reply), std::move(work), std::move(on_failure));
    service::spawn_blocking(lane, [task = std::move(task)] { task->run(); });
}

}  // namespace zembra::hub
