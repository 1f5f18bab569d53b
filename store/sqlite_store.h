#pragma once

#include <QString>
#include <memory>

#include "platform/sqlite_connection.h"
#include "store/forecast_store.h"

namespace skyloom {

// The forecast database as an SQLite file. Each operation opens and closes its own
// connection, so another program may hold the file between fetches.
class SqliteStore final : public ForecastStore {
 public:
  explicit SqliteStore(QString path);

  QString Description() const override { return path_; }
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
  // Opens a connection for reading; the file is never created for a reader.
  std::optional<StoreError> OpenForReading(SqliteConnection& connection) const;
  // Reads attempts with a statement that selects the columns AttemptRows takes.
  std::optional<StoreError> ReadAttempts(const char* sql, std::initializer_list<SqlValue> values,
                                         std::vector<AttemptRow>& rows) const;

  QString path_;
  std::unique_ptr<SqliteConnection> writing_;  // only inside a write
};

}  // namespace skyloom
