#include "delivery/delivery_worker.h"

#include <QDateTime>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "delivery/channel.h"
#include "platform/http_post.h"
#include "platform/worker_thread.h"
#include "store/open_store.h"

namespace skyloom {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Rows a channel reads at once; more are read as soon as these are done.
constexpr int kBatch = 20;
// Rows written by another process (a run with --once, a collector that handed over) are
// found within this time.
constexpr auto kLookAgain = 5s;
constexpr auto kAfterStoreError = 10s;
constexpr auto kSummaryEvery = 5s;

QString Duration(std::chrono::seconds seconds) {
  if (seconds.count() % 3600 == 0) return QStringLiteral("%1 h").arg(seconds.count() / 3600);
  if (seconds.count() % 60 == 0) return QStringLiteral("%1 min").arg(seconds.count() / 60);
  return QStringLiteral("%1 s").arg(seconds.count());
}

}  // namespace

// One channel's thread: reads its due rows, waits for its rate limit, sends and keeps the
// outcome. Everything it touches is its own but the callbacks, which only post.
class ChannelLoop final {
 public:
  using Report = std::function<void(const QString&)>;
  using Tried = std::function<void(DeliveryWorker::Outcome)>;

  ChannelLoop(NotifyChannel channel, const ServiceSettings& settings, Report report, Tried tried)
      : channel_(std::move(channel)),
        limits_(RateLimits(channel_)),
        giveUp_(settings.giveUp),
        store_(OpenStore(settings.databaseLocation, settings.databaseLimits)),
        report_(std::move(report)),
        tried_(std::move(tried)) {}

  ~ChannelLoop() { Stop(); }

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }

  void Stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cancel_ = true;
    store_->Interrupt();
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void SetActive(bool active) {
    {
      const std::lock_guard lock(mutex_);
      active_ = active;
      woken_ = true;
    }
    wake_.notify_all();
  }

  void Wake() {
    {
      const std::lock_guard lock(mutex_);
      woken_ = true;
    }
    wake_.notify_all();
  }

  void SetTurnHeld(std::function<bool()> held) { turnHeld_ = std::move(held); }

 private:
  bool Active() {
    {
      const std::lock_guard lock(mutex_);
      if (!active_) return false;
    }
    return !turnHeld_ || turnHeld_();
  }

  // False when the loop is stopping. A Wake ends the wait early.
  bool WaitUntil(Clock::time_point until, bool wakeable = true) {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, until, [&] { return stopping_ || (wakeable && woken_); });
    if (wakeable) woken_ = false;
    return !stopping_;
  }

  void Run() {
    while (WaitUntil(Clock::now(), false)) {
      if (!Active()) {
        WaitUntil(Clock::now() + kLookAgain);
        continue;
      }
      const qint64 now = QDateTime::currentSecsSinceEpoch();
      const auto due = store_->DueDeliveries(channel_.name, now, kBatch);
      if (!due) {
        Problem(QStringLiteral("cannot read the outbox for %1: %2")
                    .arg(channel_.name, due.error().message));
        WaitUntil(Clock::now() + kAfterStoreError);
        continue;
      }
      lastProblem_.clear();
      bool kept = true;
      for (const DeliveryRow& row : *due) {
        if (!Active() || !AwaitTurn()) break;
        kept = Deliver(row) && kept;
      }
      // A row whose outcome was not kept is due still: not again at once.
      if (!kept) {
        WaitUntil(Clock::now() + kAfterStoreError, false);
        continue;
      }
      if (static_cast<int>(due->size()) == kBatch) continue;
      auto wait = std::chrono::duration_cast<Clock::duration>(kLookAgain);
      if (const auto next = store_->NextDue(channel_.name); next && *next) {
        wait = std::clamp<Clock::duration>(std::chrono::seconds(**next - now), 0s, wait);
      }
      WaitUntil(Clock::now() + wait);
    }
  }

  // Waits for a place in every window of the channel's rate limits, then takes it.
  bool AwaitTurn() {
    Clock::time_point allowed = Clock::now();
    for (const RateLimit& limit : limits_) {
      if (static_cast<int>(sent_.size()) >= limit.count) {
        allowed = std::max(allowed, sent_[sent_.size() - limit.count] + limit.per);
      }
    }
    if (allowed > Clock::now() && !WaitUntil(allowed, false)) return false;
    sent_.push_back(Clock::now());
    size_t keep = 0;
    for (const RateLimit& limit : limits_) keep = std::max(keep, size_t(limit.count));
    while (sent_.size() > keep) sent_.pop_front();
    return true;
  }

  // False when the outcome could not be kept.
  bool Deliver(DeliveryRow row) {
    const ChannelRequest request = BuildRequest(channel_, row, QDateTime::currentDateTime());
    const ClientAnswer answer = HttpPost(request.url, request.body, request.headers, {}, &cancel_);
    if (cancel_) return true;  // stopping: the row stays as it was and is sent after a restart
    const Verdict verdict = JudgeAnswer(channel_, answer);
    ++row.tries;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QString what =
        QStringLiteral("%1 event %2 on %3").arg(row.event, row.eventId, channel_.name);
    DeliveryWorker::Outcome outcome = DeliveryWorker::Outcome::Sent;
    if (verdict.kind == Verdict::Kind::Delivered) {
      row.state = kDeliverySent;
      row.lastError.clear();
    } else if (verdict.kind == Verdict::Kind::GiveUp) {
      outcome = DeliveryWorker::Outcome::GivenUp;
      row.state = kDeliveryGivenUp;
      row.lastError = verdict.error;
      report_(QStringLiteral("gave up delivering %1: the receiver refused it (%2)")
                  .arg(what, verdict.error));
    } else if (now - row.created >= giveUp_.count()) {
      outcome = DeliveryWorker::Outcome::GivenUp;
      row.state = kDeliveryGivenUp;
      row.lastError = verdict.error;
      report_(QStringLiteral("gave up delivering %1: not delivered within %2 after %3 tries; "
                             "the last one failed: %4")
                  .arg(what, Duration(giveUp_))
                  .arg(row.tries)
                  .arg(verdict.error));
    } else {
      outcome = DeliveryWorker::Outcome::Retried;
      const std::chrono::seconds wait =
          verdict.retryAfter ? std::clamp<std::chrono::seconds>(*verdict.retryAfter, 1s, 3600s)
                             : Backoff(row.tries);
      row.nextTry = now + wait.count();
      row.lastError = verdict.error;
      report_(QStringLiteral("delivering %1 failed (try %2): %3; next try in %4")
                  .arg(what)
                  .arg(row.tries)
                  .arg(verdict.error, Duration(wait)));
    }
    tried_(outcome);
    if (const auto kept = store_->UpdateDelivery(row); !kept) {
      report_(QStringLiteral("the outcome of %1 was not kept, so it may be sent again: %2")
                  .arg(what, kept.error().message));
      return false;
    }
    return true;
  }

  // Said once until it changes: a database that is down would otherwise fill the log.
  void Problem(const QString& problem) {
    if (problem == lastProblem_) return;
    lastProblem_ = problem;
    report_(problem);
  }

  const NotifyChannel channel_;
  const std::vector<RateLimit> limits_;
  const std::chrono::seconds giveUp_;
  std::unique_ptr<ForecastStore> store_;
  Report report_;
  Tried tried_;
  std::function<bool()> turnHeld_;  // set before the thread starts
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool active_ = false;
  bool woken_ = false;
  std::atomic<bool> cancel_{false};
  std::deque<Clock::time_point> sent_;  // when the latest requests went out
  QString lastProblem_;
  std::thread thread_;
};

DeliveryWorker::DeliveryWorker(const ServiceSettings& settings, QObject* parent)
    : QObject(parent),
      settings_(settings),
      store_(OpenStore(settings.databaseLocation, settings.databaseLimits)),
      summaryTimer_(new QTimer(this)) {
  qRegisterMetaType<OutboxSummary>();
  qRegisterMetaType<Outcome>();
  for (const NotifyChannel& channel : settings_.channels) {
    const QString name = channel.name;
    loops_.push_back(std::make_unique<ChannelLoop>(
        channel, settings_,
        [this](const QString& line) {
          QMetaObject::invokeMethod(
              this, [this, line] { emit report(line); }, Qt::QueuedConnection);
        },
        [this, name](Outcome outcome) {
          QMetaObject::invokeMethod(
              this, [this, name, outcome] { emit tried(name, outcome); }, Qt::QueuedConnection);
        }));
  }
  summaryTimer_->setInterval(kSummaryEvery);
  connect(summaryTimer_, &QTimer::timeout, this, &DeliveryWorker::Summarise);
}

DeliveryWorker::~DeliveryWorker() { Stop(); }

void DeliveryWorker::Start() {
  // Without channels there is nothing to send, and the outbox is not this collector's to read.
  if (loops_.empty() || std::exchange(started_, true)) return;
  thread_ = std::make_unique<WorkerThread>(QStringLiteral("outbox"));
  thread_->Post([store = store_, self = QPointer(this)] {
    const auto made = store->CreateOutbox();
    if (!made) {
      QMetaObject::invokeMethod(self, [self, why = made.error().message] {
        if (self) emit self->report(QStringLiteral("cannot make the outbox: %1").arg(why));
      });
    }
  });
  for (auto& loop : loops_) loop->Start();
  summaryTimer_->start();
  Summarise();
}

void DeliveryWorker::Stop() {
  if (!std::exchange(started_, false)) return;
  summaryTimer_->stop();
  store_->Interrupt();
  for (auto& loop : loops_) loop->Stop();
  // The outbox thread's work keeps its store alive should it outlast the wait.
  thread_.reset();
}

void DeliveryWorker::SetActive(bool active) {
  for (auto& loop : loops_) loop->SetActive(active);
}

void DeliveryWorker::SetTurnHeld(std::function<bool()> held) {
  for (auto& loop : loops_) loop->SetTurnHeld(held);
}

void DeliveryWorker::Wake() {
  for (auto& loop : loops_) loop->Wake();
}

void DeliveryWorker::AddAlert(const QString& event, const QString& message) {
  QStringList channels;
  for (const NotifyChannel& channel : settings_.channels) {
    if (TakesEvent(channel, event)) channels << channel.name;
  }
  if (channels.isEmpty() || !thread_) return;
  const QString eventId = QUuid::createUuid().toString(QUuid::WithoutBraces);
  thread_->Post([store = store_, self = QPointer(this), eventId, event, message, channels] {
    const auto added = store->AddDeliveries(eventId, event, message, channels);
    QMetaObject::invokeMethod(self, [self, why = added ? QString() : added.error().message] {
      if (!self) return;
      if (!why.isEmpty())
        emit self->report(QStringLiteral("an alert was not put in the outbox: %1").arg(why));
      self->Wake();
    });
  });
}

void DeliveryWorker::Summarise() {
  if (!thread_) return;
  thread_->Post([store = store_, self = QPointer(this)] {
    const auto summary = store->SummariseOutbox();
    if (!summary) return;
    QMetaObject::invokeMethod(self, [self, value = *summary] {
      if (self) emit self->summarised(value);
    });
  });
}

}  // namespace skyloom
