#include "delivery/delivery_worker.h"

#include <QDateTime>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "delivery/channel.h"
#include "delivery/delivery_rules.h"
#include "platform/clock.h"
#include "platform/http_post.h"
#include "platform/run_then.h"
#include "platform/worker_thread.h"
#include "store/open_store.h"

namespace skyloom {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

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

// One channel's loop on a thread of its own: reads its due rows, waits for its rate limit,
// sends and keeps the outcome. Everything it touches is its own but the worker it reports
// to, which it reaches only through a relay that drops what comes after the worker is gone.
class ChannelLoop final : public std::enable_shared_from_this<ChannelLoop> {
 public:
  ChannelLoop(const Clock& clock, NotifyChannel channel, const ServiceSettings& settings,
              std::shared_ptr<ResultRelay::Link> relay, DeliveryWorker* worker)
      : clock_(clock),
        channel_(std::move(channel)),
        limits_(KindOf(channel_).Limits()),
        giveUp_(settings.giveUp),
        store_(OpenStore(settings.databaseLocation, settings.databaseLimits, StoreAccess::ReadWrite,
                         "channel")),
        relay_(std::move(relay)),
        worker_(worker) {}

  void Start() {
    thread_ = std::make_unique<WorkerThread>(QStringLiteral("channel"), [this] { Interrupt(); });
    thread_->Post([self = shared_from_this()] { self->Run(); });
  }

  // A loop stuck in a call keeps itself alive until the process exits.
  void Stop() {
    if (thread_) thread_->Stop(shared_from_this());
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
  void Interrupt() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cancel_ = true;
    store_->Interrupt();
    wake_.notify_all();
  }

  void Report(const QString& line) {
    ResultRelay::Post(relay_, [worker = worker_, line] { emit worker->report(line); });
  }

  void Tried(DeliveryWorker::Outcome outcome) {
    ResultRelay::Post(relay_, [worker = worker_, name = channel_.name, outcome] {
      emit worker->tried(name, outcome);
    });
  }

  bool Active() {
    {
      const std::lock_guard lock(mutex_);
      if (!active_) return false;
    }
    return !turnHeld_ || turnHeld_();
  }

  // False when the loop is stopping. A Wake ends the wait early.
  bool WaitUntil(Steady::time_point until, bool wakeable = true) {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, until, [&] { return stopping_ || (wakeable && woken_); });
    if (wakeable) woken_ = false;
    return !stopping_;
  }

  void Run() {
    bool counted = false;  // what the group sent lately is in sent_
    while (WaitUntil(Steady::now(), false)) {
      if (!Active()) {
        counted = false;
        WaitUntil(Steady::now() + kLookAgain);
        continue;
      }
      const qint64 now = clock_.Now().toSecsSinceEpoch();
      const auto sent = counted ? StoreExpected<void>() : CountSent(now);
      counted = sent.has_value();
      const auto due = sent ? store_->DueDeliveries(channel_.name, now, kBatch)
                            : std::unexpected(sent.error());
      if (!due) {
        Problem(QStringLiteral("cannot read the outbox for %1: %2")
                    .arg(channel_.name, due.error().message));
        WaitUntil(Steady::now() + kAfterStoreError);
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
        WaitUntil(Steady::now() + kAfterStoreError, false);
        continue;
      }
      if (static_cast<int>(due->size()) == kBatch) continue;
      auto wait = std::chrono::duration_cast<Steady::duration>(kLookAgain);
      if (const auto next = store_->NextDue(channel_.name); next && *next) {
        wait = std::clamp<Steady::duration>(std::chrono::seconds(**next - now), 0s, wait);
      }
      WaitUntil(Steady::now() + wait);
    }
  }

  // What the group sent in the channel's longest window before this collector became active,
  // so that a take-over or a restart never doubles the channel's rate.
  StoreExpected<void> CountSent(qint64 now) {
    if (limits_.empty()) return {};
    const auto longest = std::ranges::max(limits_, {}, &RateLimit::per).per;
    const auto sent = store_->SentSince(
        channel_.name, now - std::chrono::ceil<std::chrono::seconds>(longest).count(), Kept());
    if (!sent) return std::unexpected(sent.error());
    sent_ = SentWindow<Steady::time_point>(*sent, now, Steady::now());
    return {};
  }

  // The most requests any window counts: older ones no longer matter.
  int Kept() const {
    return limits_.empty() ? 0 : std::ranges::max(limits_, {}, &RateLimit::count).count;
  }

  // Waits for a place in every window of the channel's rate limits, then takes it.
  bool AwaitTurn() {
    const Steady::time_point allowed =
        NextAllowed<Steady::time_point>(sent_, limits_, Steady::now());
    if (allowed > Steady::now() && !WaitUntil(allowed, false)) return false;
    sent_.push_back(Steady::now());
    if (std::ssize(sent_) > Kept()) sent_.erase(sent_.begin(), sent_.end() - Kept());
    return true;
  }

  // False when the outcome could not be kept.
  bool Deliver(DeliveryRow row) {
    const ChannelRequest request =
        BuildRequest(channel_, EventFromRow(row.event, row.eventId, row.message), clock_.Now());
    const ClientAnswer answer = HttpPost(request.url, request.body, request.headers, {}, &cancel_);
    if (cancel_) return true;  // stopping: the row stays as it was and is sent after a restart
    const TryOutcome after = AfterTry(std::move(row), JudgeAnswer(channel_, answer),
                                      clock_.Now().toSecsSinceEpoch(), giveUp_);
    const DeliveryRow& tried = after.row;
    const QString what =
        QStringLiteral("%1 event %2 on %3").arg(tried.event, tried.eventId, channel_.name);
    if (after.kind == TryOutcome::Kind::GivenUp && after.outOfTime) {
      Report(QStringLiteral("gave up delivering %1: not delivered within %2 after %3 tries; "
                            "the last one failed: %4")
                 .arg(what, Duration(giveUp_))
                 .arg(tried.tries)
                 .arg(tried.lastError));
    } else if (after.kind == TryOutcome::Kind::GivenUp) {
      Report(QStringLiteral("gave up delivering %1: the receiver refused it (%2)")
                 .arg(what, tried.lastError));
    } else if (after.kind == TryOutcome::Kind::Retried) {
      Report(QStringLiteral("delivering %1 failed (try %2): %3; next try in %4")
                 .arg(what)
                 .arg(tried.tries)
                 .arg(tried.lastError, Duration(after.wait)));
    }
    Tried(after.kind == TryOutcome::Kind::Sent      ? DeliveryWorker::Outcome::Sent
          : after.kind == TryOutcome::Kind::Retried ? DeliveryWorker::Outcome::Retried
                                                    : DeliveryWorker::Outcome::GivenUp);
    if (const auto kept = store_->UpdateDelivery(tried); !kept) {
      Report(QStringLiteral("the outcome of %1 was not kept, so it may be sent again: %2")
                 .arg(what, kept.error().message));
      return false;
    }
    return true;
  }

  // Said once until it changes: a database that is down would otherwise fill the log.
  void Problem(const QString& problem) {
    if (problem == lastProblem_) return;
    lastProblem_ = problem;
    Report(problem);
  }

  const Clock& clock_;
  const NotifyChannel channel_;
  const std::vector<RateLimit> limits_;
  const std::chrono::seconds giveUp_;
  std::unique_ptr<ForecastStore> store_;
  const std::shared_ptr<ResultRelay::Link> relay_;
  DeliveryWorker* const worker_;
  std::function<bool()> turnHeld_;  // set before the thread starts
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool active_ = false;
  bool woken_ = false;
  std::atomic<bool> cancel_{false};
  std::vector<Steady::time_point> sent_;  // when the latest requests went out, oldest first
  QString lastProblem_;
  std::unique_ptr<WorkerThread> thread_;
};

DeliveryWorker::DeliveryWorker(const Clock& clock, const ServiceSettings& settings, QObject* parent)
    : QObject(parent),
      settings_(settings),
      store_(OpenStore(settings.databaseLocation, settings.databaseLimits, StoreAccess::ReadWrite,
                       "outbox")),
      summaryTimer_(new QTimer(this)) {
  qRegisterMetaType<OutboxSummary>();
  qRegisterMetaType<Outcome>();
  const auto* relay = new ResultRelay(this);
  for (const NotifyChannel& channel : settings_.channels) {
    loops_.push_back(std::make_shared<ChannelLoop>(clock, channel, settings_, relay->link(), this));
  }
  summaryTimer_->setInterval(kSummaryEvery);
  connect(summaryTimer_, &QTimer::timeout, this, &DeliveryWorker::Summarise);
}

DeliveryWorker::~DeliveryWorker() { Stop(); }

void DeliveryWorker::Start() {
  // Without channels there is nothing to send, and the outbox is not this collector's to read.
  if (loops_.empty() || std::exchange(started_, true)) return;
  thread_ = std::make_unique<WorkerThread>(QStringLiteral("outbox"),
                                           [store = store_] { store->Interrupt(); });
  for (auto& loop : loops_) loop->Start();
  summaryTimer_->start();
  Summarise();
}

void DeliveryWorker::Stop() {
  if (!std::exchange(started_, false)) return;
  summaryTimer_->stop();
  for (auto& loop : loops_) loop->Stop();
  thread_->Stop(store_);
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

void DeliveryWorker::Summarise() {
  if (!thread_) return;
  RunThen(
      *thread_, [store = store_] { return store->SummariseOutbox(); }, this,
      [this](const StoreExpected<OutboxSummary>& summary) {
        if (summary) emit summarised(*summary);
      });
}

}  // namespace skyloom
