#pragma once

#include <QString>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "store/forecast_store.h"
#include "store/pg_store.h"

namespace skyloom {

class WorkerThread;

// How many of the newest rows the API keeps in memory: the forecasts every first page, the
// feed and a resumed stream read, and the attempts health reads.
inline constexpr std::size_t kKeptForecasts = 100;
inline constexpr std::size_t kKeptAttempts = 1000;

// The newest rows of the record as the store watcher last read them. A part is read again only
// when the watcher found that it changed; each read gets a version of its own.
struct KeptRecord {
  quint64 forecastsVersion = 0;
  quint64 logVersion = 0;
  // Newest first, at most kKeptForecasts and kKeptAttempts.
  StoreExpected<std::vector<ForecastRow>> forecasts;
  StoreExpected<std::vector<AttemptRow>> attempts;

  // Whether `forecasts` holds every forecast there is; then any page from the newest is in it.
  bool AllForecasts() const { return forecasts && forecasts->size() < kKeptForecasts; }
  bool AllAttempts() const { return attempts && attempts->size() < kKeptAttempts; }
};

// How the watcher waits for changes to an SQLite file.
enum class FileWatching {
  Inotify,  // the kernel tells; where it cannot, a look twice a second, and the log says why
  Looks,    // a look twice a second
};

// Why the watcher looked at the store, as the metrics count it.
enum class LookCause { Start, File, Notice, Timer, Asked, Retry };
inline constexpr std::size_t kLookCauses = 6;
const char* LookCauseName(LookCause cause);
using LookCounts = std::array<quint64, kLookCauses>;

// The one thread that tells the API when the record changed, whoever changed it: this
// collector, another collector of the group or another program. On an SQLite file the kernel
// tells it of every write to the file and its write-ahead log (inotify), and SQLite's
// data_version and the newest rows say whether the write changed anything; on a PostgreSQL
// server a collector's NOTIFY tells it, and for writers that do not notify it looks every 2 s
// with one cheap query. Where inotify cannot watch, it looks at the file twice a second.
//
// A part found changed is read once, on the watcher's own store, and handed on whole.
class StoreWatcher final {
 public:
  // What changed at a look, and the record after it; on the watcher's thread. Also called
  // with nothing changed now and then (at least every 5 s), for what depends on the time.
  using Heard = std::function<void(const std::shared_ptr<const KeptRecord>& record,
                                   bool forecastsChanged, bool logChanged)>;

  StoreWatcher(QString location, PgLimits limits, FileWatching watching = FileWatching::Inotify);
  ~StoreWatcher();
  Q_DISABLE_COPY_MOVE(StoreWatcher)

  // Looks at once, then whenever told, on a thread of its own.
  void Start(Heard heard);
  // Looks again at once.
  void Nudge();
  // Looks again at once and waits until what that look found has been handed on, at most
  // `most`; whether it was. For a program that writes the store and reads the API next.
  bool CatchUp(std::chrono::milliseconds most);
  LookCounts Looks() const;
  // Ends the wait or the read under way, and the thread.
  void Stop();

  struct Shared;

 private:
  const QString location_;
  const PgLimits limits_;
  const FileWatching watching_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<WorkerThread> thread_;
};

}  // namespace skyloom
