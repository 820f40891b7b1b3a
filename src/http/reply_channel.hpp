// The Reply handed to the application for one request: carries the response back to the
// connection's strand from whatever thread produced it, and tells the connection when a Reply
// is dropped unanswered, so no request waits forever.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>

#include "http/message.hpp"

namespace zembra::http {

// `Target` has on_reply(std::uint64_t key, Response) and on_unanswered(std::uint64_t key), both
// run on `Executor`. `Owner` is std::shared_ptr<Target> (the reply keeps the connection alive)
// or std::weak_ptr<Target> (the reply is dropped if the connection is gone).
template <class Target, class Owner, class Executor>
class ReplyChannel {
  public:
    ReplyChannel(Owner target, std::uint64_t key, const Executor& executor)
        : target_(std::move(target)),
          key_(key),
          // Tracked: the worker loop must not run out of work while a blocking job holds this.
          executor_(
              boost::asio::prefer(executor, boost::asio::execution::outstanding_work.tracked)) {}
    ReplyChannel(ReplyChannel&& other) noexcept
        : target_(std::exchange(other.target_, Owner())),
          key_(other.key_),
          executor_(other.executor_),
          armed_(std::exchange(other.armed_, false)) {}
    ReplyChannel& operator=(ReplyChannel&&) = delete;

    ~ReplyChannel() {
        if (!armed_) return;
        boost::asio::post(executor_, [target = std::move(target_), key = key_] {
            if (auto live = lock(target)) live->on_unanswered(key);
        });
    }

    void operator()(Response response) {
        if (!armed_) return;
        armed_ = false;
        boost::asio::post(executor_, [target = std::move(target_), key = key_,
                                      response = std::move(response)]() mutable {
            if (auto live = lock(target)) live->on_reply(key, std::move(response));
        });
    }

  private:
    static std::shared_ptr<Target> lock(const std::shared_ptr<Target>& target) { return target; }
    static std::shared_ptr<Target> lock(const std::weak_ptr<Target>& target) {
        return target.lock();
    }

    Owner target_;
    std::uint64_t key_;
    decltype(boost::asio::prefer(std::declval<Executor>(),
                                 boost::asio::execution::outstanding_work.tracked)) executor_;
    bool armed_ = true;
};

}  // namespace zembra::http
