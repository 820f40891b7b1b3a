// The threads that run the connections' event loop, until stop().
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace zembra::service {

class WorkerThreads {
  public:
    // An exception that escapes a handler is given to `log`; the thread then goes on running
    // the loop. The handler's connection ends with it.
    WorkerThreads(boost::asio::io_context& loop, std::function<void(std::string)> log);
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Throws std::system_error when a thread cannot be created.
    void start(unsigned count);

    // Pending tasks are not run; they are dropped with the loop.
    void stop();

  private:
    void run();

    boost::asio::io_context& loop_;
    const std::function<void(std::string)> log_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
};

}  // namespace zembra::service
