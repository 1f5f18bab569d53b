#include "platform/run_then.h"

#include <QPointer>

namespace skyloom {

ResultRelay::ResultRelay(QObject* context) : QObject(context), link_(std::make_shared<Link>()) {
  link_->relay = this;
}

ResultRelay::~ResultRelay() {
  const std::lock_guard lock(link_->mutex);
  link_->relay = nullptr;
}

void ResultRelay::Post(const std::shared_ptr<Link>& link, std::function<void()> deliver) {
  const std::lock_guard lock(link->mutex);
  if (link->relay) QMetaObject::invokeMethod(link->relay, std::move(deliver), Qt::QueuedConnection);
}

void ResultRelay::Deliver(const std::shared_ptr<Link>& link, std::function<void()> deliver) {
  const std::lock_guard lock(link->mutex);
  ResultRelay* const relay = link->relay;
  if (!relay) return;
  QMetaObject::invokeMethod(
      relay,
      [relay, deliver = std::move(deliver)] {
        // The continuation may destroy the context, and the relay with it.
        const QPointer<ResultRelay> alive(relay);
        deliver();
        if (alive) alive->deleteLater();
      },
      Qt::QueuedConnection);
}

}  // namespace skyloom
