#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <expected>
#include <functional>
#include <optional>
#include <vector>

#include "acquisition/fetch_result.h"
#include "platform/db_types.h"
#include "store/event.h"
#include "store/outbox.h"

namespace skyloom {

// Status words of the attempt log, as readers of tqlog know them.
inline const QString kStatusFetched = QStringLiteral("正常获取");
inline const QString kStatusFetchError = QStringLiteral("获取错误");
inline const QString kNotWritten = QStringLiteral("未写入");
inline const QString kWritten = QStringLiteral("成功写入");
inline const QString kEmptyText = QStringLiteral("取回空字串");

// Why an attempt could not be stored or logged, or rows not read; the caller decides how to
// show it.
struct StoreError {
  int code = 0;
  QString message;
  // The server went away or turned read-only: another server of the address may take the call.
  bool connectionLost = false;
};

// What a store call gives: its value, or why there is none.
template <class T>
using StoreExpected = std::expected<T, StoreError>;

// A store that only reads never writes the database, not even its journal mode.
enum class StoreAccess { ReadWrite, ReadOnly };

// A row of tq.
struct ForecastRow {
  qint64 id = 0;
  QString logtime;              // local 'YYYY-MM-DD HH:MM:SS'
  std::optional<QString> text;  // tqyb; nothing when NULL
};

// A row of tqlog.
struct AttemptRow {
  QString logtime;  // local 'YYYY-MM-DD HH:MM:SS'; empty until read back
  QString status;   // errstat
  qint64 number = 0;
  QString description;
  // Where the row lies in tqlog (SQLite's rowid, PostgreSQL's ctid), to read on from it; empty
  // until read back. tqlog has no key of its own, and other programs own its columns.
  QString position;
};

enum class StoreOutcome {
  Stored,       // the text differed from the newest forecast and is now the newest
  Unchanged,    // the text equals the newest forecast
  Empty,        // nothing was cut out of the page: logged as an error
  NotCompared,  // the request failed: only logged
};

// What the store did with one attempt.
struct StoreResult {
  StoreOutcome outcome = StoreOutcome::NotCompared;
  AttemptRow logged;                // the tqlog row of the attempt
  qint64 forecastId = 0;            // the new tq row, when stored
  std::optional<StoreError> error;  // set when the attempt was not stored and logged
  // What the attempt's transaction committed, in the order they happened: a recovery before
  // the new forecast that came with it. Empty when nothing was committed.
  std::vector<Event> events{};
  // An attempt made again found its slot stored already: by itself, when the answer to its
  // commit was lost, or by another collector. Nothing was written.
  bool slotTaken = false;
};

// What an attempt's transaction needs besides what the fetch found.
struct AttemptContext {
  // The program's clock: when the outbox rows were made and fall due. Invalid: the system's.
  QDateTime now;
  // The start of the timed slot the attempt stands for, recorded with it for the group, so
  // that no collector fetches that slot again; nothing for an attempt a person asked for.
  std::optional<QDateTime> slot;
  // The attempt's store call failed before; its commit may have gone through unanswered.
  bool again = false;
};

// Rows logged from `from` up to but not including `to`, both local 'YYYY-MM-DD HH:MM:SS'.
struct LogSpan {
  QString from = QStringLiteral("0001-01-01 00:00:00");
  QString to = QStringLiteral("9999-12-31 23:59:59");
};

// A table as --check-db reports it.
struct TableCheck {
  QString name;
  std::optional<qint64> rows;  // nothing when the table is not there
  QString newest;              // the newest row's time, local 'YYYY-MM-DD HH:MM:SS'; may be empty
};

// What a look over the whole database found.
struct DatabaseCheck {
  QString server;  // of a server: host:port as it sees itself, and whether it is a primary
  bool primary = false;
  qint64 schemaVersion = 0;
  QStringList problems;  // empty when the database is sound
  std::vector<TableCheck> tables;
};

// Whether an attempt fetched a page and cut a forecast out of it.
inline bool Succeeded(const AttemptRow& row) { return row.status == kStatusFetched; }
// The same for an attempt just made: it must also have been stored and logged.
inline bool Succeeded(const StoreResult& stored) {
  return !stored.error && Succeeded(stored.logged);
}

// Keeps new forecast text and logs every attempt, and reads both back. One object serves one
// thread at a time; Interrupt alone may come from any thread.
class ForecastStore {
 public:
  virtual ~ForecastStore() = default;

  // In one transaction: stores the attempt's forecast when it differs from the newest stored
  // one, logs the attempt, decides from the log whether a run of failures starts or ends,
  // writes the outbox rows of every event and records the slot. All of it or none.
  virtual StoreResult Record(const FetchResult& fetch, const AttemptContext& context) = 0;
  StoreResult Record(const FetchResult& fetch) { return Record(fetch, {}); }

  // Where the tables live, for messages; never with a password.
  virtual QString Description() const = 0;
  // Makes the tables where they are missing and brings them up to this program's version;
  // true when anything was made or changed.
  virtual StoreExpected<bool> CreateTables() = 0;
  // The version of the tables; 0 for tables an earlier release made, or none yet.
  virtual StoreExpected<int> SchemaVersion() = 0;
  // Newest first: at most `limit` forecasts with an id below `beforeId` (0: from the newest).
  virtual StoreExpected<std::vector<ForecastRow>> NewestForecasts(int limit, qint64 beforeId) = 0;
  // Newest first: at most `limit` attempts.
  virtual StoreExpected<std::vector<AttemptRow>> NewestAttempts(int limit) = 0;
  // Newest first: at most `limit` attempts logged before `row`, a row this store read back.
  virtual StoreExpected<std::vector<AttemptRow>> AttemptsBefore(const AttemptRow& row,
                                                                int limit) = 0;
  // Oldest first: every attempt logged from `from` up to but not including `to`, both local
  // 'YYYY-MM-DD HH:MM:SS'.
  virtual StoreExpected<std::vector<AttemptRow>> AttemptsBetween(const QString& from,
                                                                 const QString& to) = 0;

  // The channels that take each kind of event: Record writes one outbox row for each in the
  // event's own transaction, so a committed event always has its deliveries.
  virtual void SetEventRoutes(EventRoutes routes) = 0;
  // Oldest first: at most `limit` pending rows of `channel` due at `now`.
  virtual StoreExpected<std::vector<DeliveryRow>> DueDeliveries(const QString& channel, qint64 now,
                                                                int limit) = 0;
  // When the next pending row of `channel` is due; nothing when none is pending.
  virtual StoreExpected<std::optional<qint64>> NextDue(const QString& channel) = 0;
  // Keeps the row's tries, next try, state and last error.
  virtual StoreExpected<void> UpdateDelivery(const DeliveryRow& row) = 0;
  // Oldest first: when the newest `limit` rows of `channel` sent at or after `since` went out.
  virtual StoreExpected<std::vector<qint64>> SentSince(const QString& channel, qint64 since,
                                                       int limit) = 0;
  // Newest first: at most `limit` rows that `filter` takes; none when there is no outbox.
  virtual StoreExpected<std::vector<DeliveryRow>> NewestDeliveries(
      int limit, const DeliveryFilter& filter) = 0;
  StoreExpected<std::vector<DeliveryRow>> NewestDeliveries(int limit) {
    return NewestDeliveries(limit, {});
  }
  // Puts the rows `which` names back to pending with their event ids, their tries reset, due
  // at `now` and marked as sent again at `now`, in one transaction. The rows as they are now.
  virtual StoreExpected<std::vector<DeliveryRow>> Redeliver(const Redelivery& which,
                                                            qint64 now) = 0;
  virtual StoreExpected<OutboxSummary> SummariseOutbox() = 0;

  // Ends the call under way at once with an error (or, when none is, the next call), from
  // any thread; the calls after that run as usual. Nothing half-written is kept.
  virtual void Interrupt() = 0;

  // Oldest first, a page at a time for exports: at most `limit` rows logged in `span` after
  // `after` (nothing: from the oldest), a row this store read back.
  virtual StoreExpected<std::vector<ForecastRow>> ForecastsAfter(std::optional<qint64> afterId,
                                                                 const LogSpan& span,
                                                                 int limit) = 0;
  virtual StoreExpected<std::vector<AttemptRow>> AttemptsAfter(const AttemptRow* after,
                                                               const LogSpan& span, int limit) = 0;
  // Rows created in `span`; none when there is no outbox.
  virtual StoreExpected<std::vector<DeliveryRow>> DeliveriesAfter(std::optional<qint64> afterId,
                                                                  const LogSpan& span,
                                                                  int limit) = 0;
  // Reads every table through: the schema version, the engine's integrity check, the counts.
  virtual StoreExpected<DatabaseCheck> CheckDatabase() = 0;
  // Deletes at most `limit` attempts logged before `logtime` (local 'YYYY-MM-DD HH:MM:SS'), in
  // one transaction; how many went. Forecasts are never deleted.
  virtual StoreExpected<qint64> RemoveAttemptsBefore(const QString& logtime, int limit) = 0;
  // The same for finished outbox rows (sent or given up) created before `created`, seconds
  // since the epoch; pending rows stay whatever their age. None when there is no outbox.
  virtual StoreExpected<qint64> RemoveDeliveriesBefore(qint64 created, int limit) = 0;
  // The rows AttemptsAfter gives, each handed to `visit` with its number in the page and its
  // fields (logtime, errstat, errnum, errdes) as the database gives them, so that an export of
  // millions makes no strings; a page read again starts again at 0. The page's last row, to
  // read on from; nothing when the page is empty.
  virtual StoreExpected<std::optional<AttemptRow>> VisitAttemptsAfter(
      const AttemptRow* after, const LogSpan& span, int limit,
      const std::function<void(int index, SqlFieldsView fields)>& visit) = 0;
};

}  // namespace skyloom
