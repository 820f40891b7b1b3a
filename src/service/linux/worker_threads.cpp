#include "service/linux/worker_threads.hpp"

#include <exception>
#include <utility>

namespace zembra::service {

WorkerThreads::WorkerThreads(boost::asio::io_context& loop, std::function<void(std::string)> log)
    : loop_(loop), log_(std::move(log)), guard_(loop.get_executor()) {}

WorkerThreads::~WorkerThreads() {
    stop();
}

void WorkerThreads::start(unsigned count) {
    for (unsigned i = 0; i < count; ++i)
        threads_.emplace_back([this] { run(); });
}

void WorkerThreads::stop() {
    loop_.stop();
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
}

void WorkerThreads::run() {
    // The loop may be run again after a handler threw; only that handler's work is lost.
    for (;;) {
        try {
            loop_.run();
            return;
        } catch (const std::exception& error) {
            log_(std::string("Helper connection failed: ") + error.what());
        } catch (...) {
            log_("Helper connection failed: unknown exception");
        }
    }
}

}  // namespace zembra::service
