#pragma once

#include <QObject>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "platform/worker_thread.h"

namespace skyloom {

// Carries one result back to the thread of the object it is a child of. Its destructor and
// every post take one mutex, so once a context is gone nothing can be posted to it, and what
// was posted before goes with it (Qt drops the events of a destroyed object).
class ResultRelay final : public QObject {
 public:
  explicit ResultRelay(QObject* context);
  ~ResultRelay() override;
  Q_DISABLE_COPY_MOVE(ResultRelay)

  struct Link {
    std::mutex mutex;
    ResultRelay* relay;
  };
  // From any thread: runs `deliver` on the relay's thread, then lets the relay go; nothing
  // when the relay is gone.
  static void Deliver(const std::shared_ptr<Link>& link, std::function<void()> deliver);
  // The same, keeping the relay for more: a worker that reports as it goes.
  static void Post(const std::shared_ptr<Link>& link, std::function<void()> deliver);
  const std::shared_ptr<Link>& link() const { return link_; }

 private:
  std::shared_ptr<Link> link_;
};

// Runs `work` on `worker`, then `then(value)` on the thread of `context`, unless `context`
// has been destroyed by then. Call it on `context`'s thread. The returned future holds the
// value as well, for whoever must wait for it without an event loop; it is never told that
// the continuation was dropped.
template <typename Work, typename Then>
auto RunThen(WorkerThread& worker, Work work, QObject* context, Then then)
    -> std::shared_future<std::invoke_result_t<Work&>> {
  using Value = std::invoke_result_t<Work&>;
  auto promise = std::make_shared<std::promise<Value>>();
  std::shared_future<Value> future = promise->get_future().share();
  auto* relay = new ResultRelay(context);
  worker.Post(
      [link = relay->link(), promise, work = std::move(work), then = std::move(then)]() mutable {
        auto value = std::make_shared<const Value>(work());
        promise->set_value(*value);
        ResultRelay::Deliver(link, [then = std::move(then), value] { then(*value); });
      });
  return future;
}

}  // namespace skyloom
