#pragma once

#include <QString>
#include <chrono>
#include <memory>

#include "platform/pg_connection.h"
#include "store/forecast_store.h"

namespace skyloom {

// A hung or locked server must never stall the schedule.
struct PgLimits {
  std::chrono::milliseconds connect{10'000};
  std::chrono::milliseconds statement{30'000};
};

// The forecast database on a PostgreSQL server, shared by collectors on several machines.
// One session is kept and made again when the server has dropped it.
class PgStore final : public ForecastStore {
 public:
  PgStore(QString uri, PgLimits limits);
  ~PgStore() override;

  QString Description() const override { return description_; }
  std::optional<StoreError> CreateTables(bool& created) override;
  std::optional<StoreError> NewestForecasts(int limit, qint64 beforeId,
                                            std::vector<ForecastRow>& rows) override;
  std::optional<StoreError> NewestAttempts(int limit, std::vector<AttemptRow>& rows) override;
  std::optional<StoreError> AttemptsBefore(const AttemptRow& row, int limit,
                                           std::vector<AttemptRow>& rows) override;
  std::optional<StoreError> AttemptsBetween(const QString& from, const QString& to,
                                            std::vector<AttemptRow>& rows) override;

 protected:
  std::optional<StoreError> BeginWrite() override;
  std::optional<StoreError> InsertIfNew(const QString& text, qint64& id) override;
  std::optional<StoreError> AppendAttempt(const AttemptRow& row) override;
  std::optional<StoreError> CommitWrite() override;
  void AbandonWrite() override;

 private:
  StoreError Failure(const DbError& error) const;
  // A session whose tables exist; a dropped one is made again first.
  std::optional<StoreError> Session();
  std::optional<DbError> Connect();
  // Reads attempts: the columns AttemptRows takes from tqlog, then `rest`.
  std::optional<StoreError> ReadAttempts(const char* rest, std::initializer_list<SqlValue> values,
                                         std::vector<AttemptRow>& rows);

  QString uri_;
  QString description_;  // the URI without its password, for messages
  PgLimits limits_;
  std::unique_ptr<PgConnection> connection_;
  bool tablesChecked_ = false;
};

}  // namespace skyloom
