#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "acquisition/fetch_result.h"
#include "platform/db_types.h"

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
};

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
};

// Keeps new forecast text and logs every attempt. The backends differ in where the tables
// live; what an attempt writes is decided here, once.
class ForecastStore {
 public:
  virtual ~ForecastStore() = default;

  // Stores the attempt's forecast when it differs from the newest stored one and logs the
  // attempt, both or neither. `previousText` is no longer read.
  StoreResult Record(const FetchResult& fetch, const QString& previousText);

  // Where the tables live, for messages; never with a password.
  virtual QString Description() const = 0;
  // Makes the tables where they are missing; `created` tells whether anything was made.
  virtual std::optional<StoreError> CreateTables(bool& created) = 0;
  // Newest first: at most `limit` forecasts with an id below `beforeId` (0: from the newest).
  virtual std::optional<StoreError> NewestForecasts(int limit, qint64 beforeId,
                                                    std::vector<ForecastRow>& rows) = 0;
  // Newest first: at most `limit` attempts.
  virtual std::optional<StoreError> NewestAttempts(int limit, std::vector<AttemptRow>& rows) = 0;
  // Newest first: at most `limit` attempts logged before `row`, a row this store read back.
  virtual std::optional<StoreError> AttemptsBefore(const AttemptRow& row, int limit,
                                                   std::vector<AttemptRow>& rows) = 0;
  // Oldest first: every attempt logged from `from` up to but not including `to`, both local
  // 'YYYY-MM-DD HH:MM:SS'.
  virtual std::optional<StoreError> AttemptsBetween(const QString& from, const QString& to,
                                                    std::vector<AttemptRow>& rows) = 0;

 protected:
  // One write transaction that excludes other writers, so that the comparison and the
  // insert cannot interleave with another collector's. Rolled back unless committed.
  virtual std::optional<StoreError> BeginWrite() = 0;
  // Inserts `text` unless it equals the newest forecast; `id` is the new row, 0 if none.
  virtual std::optional<StoreError> InsertIfNew(const QString& text, qint64& id) = 0;
  virtual std::optional<StoreError> AppendAttempt(const AttemptRow& row) = 0;
  virtual std::optional<StoreError> CommitWrite() = 0;
  virtual void AbandonWrite() = 0;

  // Rows as both backends select them: id, logtime, tqyb; logtime, errstat, errnum, errdes,
  // position.
  static std::vector<ForecastRow> ForecastRows(const std::vector<SqlRow>& rows);
  static std::vector<AttemptRow> AttemptRows(const std::vector<SqlRow>& rows);
};

}  // namespace skyloom
