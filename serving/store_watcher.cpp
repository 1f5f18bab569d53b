#include "serving/store_watcher.h"

#include <poll.h>

#include "platform/pg_connection.h"
#include "store/open_store.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;

// A reader hears of a new forecast within 2 s of its commit, on either store.
constexpr auto kFileLook = 500ms;
constexpr auto kServerLook = 10s;
// What one look hands on at most, as a resumed stream may have missed.
constexpr int kFreshMost = 100;
// The channel the store announces each new forecast on, at its commit.
constexpr char kListen[] = "LISTEN skyloom_forecast";

}  // namespace

StoreWatcher::StoreWatcher(QString location, PgLimits limits)
    : location_(std::move(location)), limits_(limits) {}

StoreWatcher::~StoreWatcher() { Stop(); }

void StoreWatcher::Start(Heard heard) {
  if (thread_.joinable()) return;
  heard_ = std::move(heard);
  known_.reset();
  stopping_ = false;
  store_ = OpenStore(location_, limits_, StoreAccess::ReadOnly);
  thread_ = std::thread([this] { Work(); });
}

void StoreWatcher::Nudge() { wake_.Raise(); }

void StoreWatcher::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  wake_.Raise();
  store_->Interrupt();
  thread_.join();
  store_.reset();
}

void StoreWatcher::Work() {
  const bool server = IsServerLocation(location_);
  std::unique_ptr<PgConnection> listener;
  while (!stopping_) {
    wake_.Clear();
    heard_(Fresh(), *store_);
    if (stopping_) return;
    if (!server) {
      Sleep(kFileLook);
      continue;
    }
    if (!listener) {
      listener = std::make_unique<PgConnection>(&wake_);
      if (!OpenPgSession(*listener, location_, limits_, false) || !listener->Execute(kListen)) {
        listener.reset();
        Sleep(kServerLook);
      }
      continue;  // a forecast stored while the session was being made is seen by this look
    }
    if (!listener->AwaitNotification(kServerLook)) listener.reset();
  }
}

std::vector<ForecastRow> StoreWatcher::Fresh() {
  const auto newest = store_->NewestForecasts(1, 0);
  if (!newest) return {};
  const qint64 id = newest->empty() ? 0 : newest->front().id;
  if (!known_) {
    known_ = id;
    return *newest;
  }
  if (id <= *known_) return {};
  const auto rows = store_->NewestForecasts(kFreshMost, 0);
  if (!rows) return {};
  std::vector<ForecastRow> fresh;
  for (auto row = rows->rbegin(); row != rows->rend(); ++row) {
    if (row->id > *known_) fresh.push_back(*row);
  }
  if (!fresh.empty()) known_ = fresh.back().id;
  return fresh;
}

void StoreWatcher::Sleep(std::chrono::milliseconds most) {
  pollfd woken{wake_.Descriptor(), POLLIN, 0};
  ::poll(&woken, 1, static_cast<int>(most.count()));
}

}  // namespace skyloom
