#include "serving/store_watcher.h"

#include <poll.h>
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>

#include "platform/interruption.h"
#include "platform/pg_connection.h"
#include "platform/problem_log.h"
#include "platform/sqlite_connection.h"
#include "platform/worker_thread.h"
#include "serving/file_watch.h"
#include "store/open_store.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Without inotify, a look at the file twice a second; on a server, a look every 2 s for the
// writers that do not notify.
constexpr auto kFileLook = 500ms;
constexpr auto kServerLook = 2s;
// With inotify nothing is looked at on a timer; those who depend on the time hear this often.
constexpr auto kTick = 5s;
// A look that failed is made again after this.
constexpr auto kRetry = 1s;
// A write to the log becomes visible to readers a moment after the kernel tells of it (once the
// writer has synced it and marked it in the shared memory, which tells nobody). A look that
// finds nothing new after a write looks again after these pauses, until it does.
constexpr std::chrono::milliseconds kSettle[] = {1ms, 4ms, 16ms, 64ms, 256ms, 1024ms};
// The channel the store announces each new forecast on, at its commit.
constexpr char kListen[] = "LISTEN skyloom_forecast";

// What says whether the forecasts or the log changed, cheaply. On SQLite, where data_version
// has told that something was committed: the kept forecasts themselves (a hundred rows of a
// local file, so that an edit of any of them shows), and the log's first and last rowid and
// how many rows the kept span holds (rows are added at the end, whatever their time; one
// removed shows). On PostgreSQL, every 2 s or when notified, in one query: the newest forecast
// with its row version, how many forecasts the kept span holds and their newest row version
// (an edit in place shows), the oldest; the newest attempt, the oldest, and how many the kept
// span and the last fortnight hold, so that a row logged with an earlier time shows too.
constexpr char kSqliteForecastsMark[] =
    "SELECT id, logtime, quote(tqyb) FROM tq ORDER BY id DESC LIMIT $1";
constexpr char kSqliteMarks[] =
    "SELECT (SELECT min(id) FROM tq), (SELECT min(rowid) FROM tqlog),"
    " (SELECT max(rowid) FROM tqlog), (SELECT count(*) FROM tqlog WHERE rowid >= $1)";
constexpr char kPgMarks[] =
    "SELECT (SELECT id::text || ' ' || xmin::text FROM tq ORDER BY id DESC LIMIT 1) || ' ' ||"
    " (SELECT count(*)::text || ' ' || coalesce(max(xmin::text::bigint), 0)::text"
    "  FROM tq WHERE id >= $1) || ' ' || coalesce((SELECT min(id)::text FROM tq), '-'),"
    " (SELECT logtime::text || ' ' || ctid::text FROM tqlog ORDER BY logtime DESC, ctid DESC"
    "  LIMIT 1) || ' ' || coalesce((SELECT min(logtime)::text FROM tqlog), '-') || ' ' ||"
    " (SELECT count(*)::text FROM tqlog"
    "  WHERE logtime >= least($2::timestamp, localtimestamp(0) - interval '15 days'))";

QString ErrorMark(int code, const QString& message) {
  return QStringLiteral("error %1: %2").arg(code).arg(message);
}

// The marks of both parts, each the error that kept it from being read when it could not be.
struct Marks {
  QString forecasts;
  QString log;
};

// The rows' fields, hashed: a mark of a hundred forecasts is as long as one of a number.
QString MarkOf(const DbExpected<std::vector<SqlRow>>& rows, std::size_t from = 0,
               std::size_t count = std::numeric_limits<std::size_t>::max()) {
  if (!rows) return ErrorMark(rows.error().code, rows.error().message);
  QCryptographicHash hash(QCryptographicHash::Sha1);
  for (const SqlRow& row : *rows) {
    for (std::size_t i = from; i < row.size() && i - from < count; ++i) {
      const std::optional<QString>& field = row[i];
      hash.addData(field ? QByteArrayView(field->toUtf8()) : QByteArrayView("\x01"));
      hash.addData(QByteArrayView("\x00", 1));
    }
    hash.addData(QByteArrayView("\x02"));
  }
  return QString::fromLatin1(hash.result().toHex());
}

// The same through the store's own reads, where no session of the watcher's own can be had.
Marks StoreMarks(ForecastStore& store) {
  Marks marks;
  const auto forecast = store.NewestForecasts(1, 0);
  if (!forecast) {
    marks.forecasts = ErrorMark(forecast.error().code, forecast.error().message);
  } else if (!forecast->empty()) {
    const ForecastRow& row = forecast->front();
    marks.forecasts = QString::number(row.id) + u' ' + row.logtime + u' ' +
                      (row.text ? u'\'' + *row.text : QStringLiteral("NULL"));
  }
  const auto attempt = store.NewestAttempts(1);
  if (!attempt) {
    marks.log = ErrorMark(attempt.error().code, attempt.error().message);
  } else if (!attempt->empty()) {
    marks.log = attempt->front().position + u' ' + attempt->front().logtime;
  }
  return marks;
}

bool IsError(const QString& mark) { return mark.startsWith(QLatin1String("error ")); }

// Which file a path names now, to tell a file replaced under an open session.
std::optional<std::pair<dev_t, ino_t>> FileIdentity(const QString& path) {
  struct stat status {};
  if (::stat(QFile::encodeName(path).constData(), &status) != 0) return std::nullopt;
  return std::pair{status.st_dev, status.st_ino};
}

}  // namespace

const char* LookCauseName(LookCause cause) {
  switch (cause) {
    case LookCause::Start:
      return "start";
    case LookCause::File:
      return "file";
    case LookCause::Notice:
      return "notice";
    case LookCause::Timer:
      return "timer";
    case LookCause::Asked:
      return "asked";
    case LookCause::Retry:
      return "retry";
  }
  return "";
}

struct StoreWatcher::Shared {
  QString location;
  bool onServer = false;  // PostgreSQL rather than a file
  PgLimits limits;
  FileWatching watching;
  Heard heard;
  std::unique_ptr<ForecastStore> store;
  // Ends a wait. Raised only while the watcher waits, or to stop it: a session of its own that
  // it ends (the server's listener) must never be given up in the middle of a query.
  Interruption wake;
  // Ends a statement of the watcher's own SQLite session; raised to stop.
  Interruption stop;

  std::mutex mutex;
  std::condition_variable caughtUp;
  bool stopping = false;
  bool waiting = false;
  bool nudged = false;
  quint64 asked = 0;
  quint64 answered = 0;
  // Held while `heard` runs, and by Stop, so that nothing is handed on once Stop has returned.
  std::mutex handing;
  bool handingEnded = false;
  std::array<std::atomic<quint64>, kLookCauses> looks{};

  // The watcher's thread alone uses these.
  std::shared_ptr<const KeptRecord> record;
  quint64 versions = 0;
  // Each part's mark when it was last read; nothing when it must be read again.
  std::optional<QString> forecastsMark;
  std::optional<QString> logMark;
  std::unique_ptr<DatabaseFileWatch> files;
  std::unique_ptr<SqliteConnection> file;  // for data_version and the marks
  std::optional<std::pair<dev_t, ino_t>> fileIdentity;
  std::optional<qint64> dataVersion;
  std::unique_ptr<PgLink> listener;  // for the marks, and LISTEN where the server lets it
  bool listening = false;
  std::size_t settle = std::size(kSettle);  // the next pause after a write; none left at the end
  std::optional<SteadyClock::time_point> retryAt;
  SteadyClock::time_point lastHanded;

  void Work();
  void Interrupt();
  void WatchFile();
  LookCause Wait();
  // Waits on `descriptor` (or none: -1) and the wake for `most` at most; whether the
  // descriptor became readable. A nudge sets `asked`.
  bool Await(int descriptor, std::chrono::milliseconds most, bool& asked);
  void Look(LookCause cause);
  std::optional<Marks> FileMarks(bool& unchanged);
  std::optional<Marks> ServerMarks();
  // Whether it was handed on: not once stopping.
  bool Hand(bool forecastsChanged, bool logChanged);
  bool Stopping() {
    const std::lock_guard lock(mutex);
    return stopping;
  }
};

StoreWatcher::StoreWatcher(QString location, PgLimits limits, FileWatching watching)
    : location_(std::move(location)), limits_(limits), watching_(watching) {}

StoreWatcher::~StoreWatcher() { Stop(); }

void StoreWatcher::Start(Heard heard) {
  if (thread_) return;
  shared_ = std::make_shared<Shared>();
  shared_->location = location_;
  shared_->onServer = IsServerLocation(location_);
  // On the primary, which NOTIFYs at each commit: a standby's rows may lag behind the notice.
  shared_->limits = limits_;
  shared_->limits.readFrom = PgTarget::Primary;
  shared_->limits.kind = "store watcher";
  shared_->watching = watching_;
  shared_->heard = std::move(heard);
  shared_->store = OpenStore(location_, shared_->limits, StoreAccess::ReadOnly);
  thread_ = std::make_unique<WorkerThread>(QStringLiteral("store watcher"),
                                           [shared = shared_] { shared->Interrupt(); });
  thread_->Post([shared = shared_] { shared->Work(); });
}

void StoreWatcher::Nudge() {
  if (!shared_) return;
  const std::lock_guard lock(shared_->mutex);
  shared_->nudged = true;
  if (shared_->waiting) shared_->wake.Raise();
}

bool StoreWatcher::CatchUp(std::chrono::milliseconds most) {
  if (!shared_) return false;
  std::unique_lock lock(shared_->mutex);
  const quint64 ask = ++shared_->asked;
  shared_->nudged = true;
  if (shared_->waiting) shared_->wake.Raise();
  return shared_->caughtUp.wait_for(lock, most, [&] {
    return shared_->stopping || shared_->answered >= ask;
  }) && !shared_->stopping;
}

LookCounts StoreWatcher::Looks() const {
  LookCounts counts{};
  if (!shared_) return counts;
  for (std::size_t i = 0; i < kLookCauses; ++i) counts[i] = shared_->looks[i].load();
  return counts;
}

void StoreWatcher::Stop() {
  if (!thread_) return;
  // A thread stuck in a call past the bound keeps what it uses and hands nothing on.
  thread_->Stop(shared_);
  thread_.reset();
  shared_.reset();
}

void StoreWatcher::Shared::Interrupt() {
  {
    const std::lock_guard lock(handing);
    handingEnded = true;
  }
  {
    const std::lock_guard lock(mutex);
    stopping = true;
  }
  caughtUp.notify_all();
  wake.Raise();
  stop.Raise();
  store->Interrupt();
}

void StoreWatcher::Shared::Work() {
  if (!onServer) WatchFile();
  Look(LookCause::Start);
  while (!Stopping()) {
    const LookCause cause = Wait();
    if (Stopping()) break;
    if (cause == LookCause::Start) {  // the tick: nothing to look at
      Hand(false, false);
      continue;
    }
    Look(cause);
  }
  listener.reset();
  file.reset();
  files.reset();
}

void StoreWatcher::Shared::WatchFile() {
  if (watching != FileWatching::Inotify) {
    ReportProblem(QStringLiteral("the API looks at %1 for changes twice a second (inotify is "
                                 "turned off)")
                      .arg(location));
    return;
  }
  files = std::make_unique<DatabaseFileWatch>(location);
  if (const auto why = files->Start()) {
    files.reset();
    ReportProblem(QStringLiteral("the API cannot watch %1 for changes (%2); it looks at the file "
                                 "twice a second instead")
                      .arg(location, *why));
  }
}

bool StoreWatcher::Shared::Await(int descriptor, std::chrono::milliseconds most, bool& asked) {
  {
    const std::lock_guard lock(mutex);
    if (stopping) return false;
    if (std::exchange(nudged, false)) return asked = true, false;
    waiting = true;
  }
  pollfd waits[2] = {{wake.Descriptor(), POLLIN, 0}, {descriptor, POLLIN, 0}};
  const int ready = ::poll(waits, descriptor >= 0 ? 2 : 1, static_cast<int>(most.count()));
  const std::lock_guard lock(mutex);
  waiting = false;
  wake.Clear();
  if (std::exchange(nudged, false)) asked = true;
  return ready > 0 && descriptor >= 0 && (waits[1].revents & (POLLIN | POLLERR | POLLHUP));
}

LookCause StoreWatcher::Shared::Wait() {
  bool asked = false;
  // Most waits are shortened to a retry that falls due.
  const auto until = [&](std::chrono::milliseconds most) {
    if (!retryAt) return most;
    return std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*retryAt - SteadyClock::now()),
                      0ms, most);
  };
  const auto due = [&](LookCause otherwise) {
    if (!retryAt || SteadyClock::now() < *retryAt) return otherwise;
    retryAt.reset();
    return LookCause::Retry;
  };
  if (onServer) {
    if (!listener || !listener->Healthy() || !listening) {
      Await(-1, until(kServerLook), asked);
      return asked ? LookCause::Asked : due(LookCause::Timer);
    }
    {
      const std::lock_guard lock(mutex);
      if (stopping) return LookCause::Timer;
      if (std::exchange(nudged, false)) return LookCause::Asked;
      waiting = true;
    }
    const DbExpected<bool> notice = listener->Current()->AwaitNotification(kServerLook);
    {
      const std::lock_guard lock(mutex);
      waiting = false;
      wake.Clear();
      asked = std::exchange(nudged, false);
    }
    if (!notice) listener->Drop();  // made again at the next look
    if (notice && *notice) return LookCause::Notice;
    return asked ? LookCause::Asked : LookCause::Timer;
  }
  if (!files) {
    Await(-1, kFileLook, asked);
    return asked ? LookCause::Asked : LookCause::Timer;
  }
  const bool settling = settle < std::size(kSettle);
  const auto deadline = SteadyClock::now() + until(settling ? kSettle[settle] : kTick);
  // News of other files in the folder is no reason to look.
  for (;;) {
    const auto left =
        std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()));
    const bool readable = Await(files->Descriptor(), left, asked);
    if (asked) return LookCause::Asked;
    if (Stopping()) return LookCause::Start;
    if (!readable) break;
    const DatabaseFileWatch::News news = files->Take();
    if (news.lost) {
      files.reset();
      ReportProblem(QStringLiteral("the API can no longer watch %1 for changes (its folder went "
                                   "away); it looks at the file twice a second instead")
                        .arg(location));
    }
    if (news.touched) {
      settle = 0;
      return LookCause::File;
    }
    if (!files) return LookCause::Timer;
  }
  if (settling) {
    ++settle;
    return LookCause::File;
  }
  return due(LookCause::Start);
}

std::optional<Marks> StoreWatcher::Shared::FileMarks(bool& unchanged) {
  const auto identity = FileIdentity(location);
  if (file && identity != fileIdentity) file.reset();  // replaced, or gone
  if (!file) {
    dataVersion.reset();
    file = std::make_unique<SqliteConnection>(&stop);
    fileIdentity = identity;
    if (!identity || !file->Open(location, SqliteAccess::ReadOnly)) {
      file.reset();
      return std::nullopt;
    }
  }
  const auto version = file->QueryInt("PRAGMA data_version", {});
  if (!version) {
    file.reset();
    return std::nullopt;
  }
  // Nothing was committed since the last look: no other connection wrote.
  if (dataVersion == *version && forecastsMark && logMark) {
    unchanged = true;
    return std::nullopt;
  }
  dataVersion = *version;
  qint64 keptFrom = 0;
  if (record && record->attempts && !record->attempts->empty()) {
    keptFrom = record->attempts->back().position.toLongLong();
  }
  const auto kept = file->Query(kSqliteForecastsMark, {qint64{kKeptForecasts}});
  const auto ends = file->Query(kSqliteMarks, {keptFrom});
  return Marks{MarkOf(kept) + u' ' + MarkOf(ends, 0, 1), MarkOf(ends, 1)};
}

std::optional<Marks> StoreWatcher::Shared::ServerMarks() {
  if (!listener) listener = std::make_unique<PgLink>(location, limits, false, &wake);
  if (!listener->Healthy()) {
    const auto session = listener->Session();
    if (!session) return std::nullopt;
    // A forecast stored while the session was being made is seen by the marks read next, and
    // with it what was missed while there was none. A server that refuses LISTEN (a pooler)
    // is looked at every 2 s all the same.
    listening = (*session)->Execute(kListen).has_value();
  }
  qint64 keptForecasts = 0;
  QString keptAttempts = QStringLiteral("-infinity");
  if (record && record->forecasts && !record->forecasts->empty()) {
    keptForecasts = record->forecasts->back().id;
  }
  if (record && record->attempts && !record->attempts->empty()) {
    keptAttempts = record->attempts->back().logtime;
  }
  const auto marks = listener->Current()->Query(kPgMarks, {keptForecasts, keptAttempts});
  if (!marks) {
    listener->Drop();
    return std::nullopt;
  }
  return Marks{MarkOf(marks, 0, 1), MarkOf(marks, 1, 1)};
}

void StoreWatcher::Shared::Look(LookCause cause) {
  ++looks[static_cast<std::size_t>(cause)];
  quint64 ask = 0;
  {
    const std::lock_guard lock(mutex);
    ask = asked;
  }
  bool handed = false;
  bool unchanged = false;
  std::optional<Marks> marks = onServer ? ServerMarks() : FileMarks(unchanged);
  if (!unchanged) {
    if (!marks) marks = StoreMarks(*store);
    const bool first = !record;
    const bool forecastsChanged = first || forecastsMark != marks->forecasts;
    const bool logChanged = first || logMark != marks->log;
    KeptRecord next = record ? *record : KeptRecord{};
    if (forecastsChanged) {
      next.forecasts = store->NewestForecasts(static_cast<int>(kKeptForecasts), 0);
      next.forecastsVersion = ++versions;
      forecastsMark = next.forecasts ? std::optional(marks->forecasts) : std::nullopt;
      // New forecasts go out before the log is read.
      if (!first) {
        record = std::make_shared<const KeptRecord>(next);
        handed = Hand(true, false);
      }
    }
    if (logChanged) {
      next.attempts = store->NewestAttempts(static_cast<int>(kKeptAttempts));
      next.logVersion = ++versions;
      logMark = next.attempts ? std::optional(marks->log) : std::nullopt;
      record = std::make_shared<const KeptRecord>(next);
      handed = Hand(first, true);
    }
    if (forecastsChanged || logChanged) settle = std::size(kSettle);
    if (!forecastsMark || !logMark || IsError(marks->forecasts) || IsError(marks->log)) {
      retryAt = SteadyClock::now() + kRetry;
    } else {
      retryAt.reset();
    }
  }
  if (!handed && SteadyClock::now() - lastHanded >= kTick) Hand(false, false);
  {
    const std::lock_guard lock(mutex);
    answered = std::max(answered, ask);
  }
  caughtUp.notify_all();
}

bool StoreWatcher::Shared::Hand(bool forecastsChanged, bool logChanged) {
  const std::lock_guard lock(handing);
  if (handingEnded || !record) return false;
  lastHanded = SteadyClock::now();
  heard(record, forecastsChanged, logChanged);
  return true;
}

}  // namespace skyloom
