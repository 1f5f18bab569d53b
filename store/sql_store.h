#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

#include "platform/interruption.h"
#include "platform/sql_session.h"
#include "store/forecast_store.h"
#include "store/schema.h"

namespace skyloom {

// How one database engine spells what the store asks of every engine alike.
struct SqlDialect {
  SqlEngine engine;
  const char* beginWrite;           // a transaction that excludes other writers until it ends
  const char* now;                  // the local time of a write as 'YYYY-MM-DD HH:MM:SS'
  const char* position;             // where a tqlog row lies, as text (tqlog has no key)
  const char* order;                // tqlog's order of insert, oldest first, as keys
  const char* before;               // the tqlog rows before the one at position $1, logged at $2
  const char* after;                // the tqlog rows after the one at position $1, logged at $2
  const char* recordSlot;           // keeps $1 as the group's last fetched slot, unless later
  const char* lastSlot;             // the group's last fetched slot as 'YYYY-MM-DD HH:MM:SS'
  const char* logtime = "logtime";  // a row's logtime as 'YYYY-MM-DD HH:MM:SS'
  const char* announce = nullptr;   // run with a new forecast's id as $1 before its commit
  const char* hasOutbox = nullptr;  // 1 when the outbox exists
  const char* integrityCheck = nullptr;  // rows of problems, or one 'ok'; none on a server
  const char* rowKey = nullptr;          // what names one tqlog row in a DELETE (rowid, ctid)
  const char* server = nullptr;          // a server's address, port and whether it is a primary
};

// The forecast store over SQL. What an attempt writes and how rows are read is decided here,
// once; a backend only opens sessions, makes the tables and spells its SQL.
class SqlStore : public ForecastStore {
 public:
  ~SqlStore() override;

  using ForecastStore::Record;
  StoreResult Record(const FetchResult& fetch, const AttemptContext& context) final;
  QString Description() const final { return description_; }
  StoreExpected<bool> CreateTables() final;
  StoreExpected<int> SchemaVersion() final;
  StoreExpected<std::vector<ForecastRow>> NewestForecasts(int limit, qint64 beforeId) final;
  StoreExpected<std::vector<AttemptRow>> NewestAttempts(int limit) final;
  StoreExpected<std::vector<AttemptRow>> AttemptsBefore(const AttemptRow& row, int limit) final;
  StoreExpected<std::vector<AttemptRow>> AttemptsBetween(const QString& from,
                                                         const QString& to) final;
  void SetEventRoutes(EventRoutes routes) final { routes_ = std::move(routes); }
  StoreExpected<std::vector<DeliveryRow>> DueDeliveries(const QString& channel, qint64 now,
                                                        int limit) final;
  StoreExpected<std::optional<qint64>> NextDue(const QString& channel) final;
  StoreExpected<void> UpdateDelivery(const DeliveryRow& row) final;
  StoreExpected<std::vector<qint64>> SentSince(const QString& channel, qint64 since,
                                               int limit) final;
  using ForecastStore::NewestDeliveries;
  StoreExpected<std::vector<DeliveryRow>> NewestDeliveries(int limit,
                                                           const DeliveryFilter& filter) final;
  StoreExpected<std::vector<DeliveryRow>> Redeliver(const Redelivery& which, qint64 now) final;
  StoreExpected<OutboxSummary> SummariseOutbox() final;
  void Interrupt() final { interruption_.Raise(); }
  StoreExpected<std::vector<ForecastRow>> ForecastsAfter(std::optional<qint64> afterId,
                                                         const LogSpan& span, int limit) final;
  StoreExpected<std::vector<AttemptRow>> AttemptsAfter(const AttemptRow* after, const LogSpan& span,
                                                       int limit) final;
  StoreExpected<std::vector<DeliveryRow>> DeliveriesAfter(std::optional<qint64> afterId,
                                                          const LogSpan& span, int limit) final;
  StoreExpected<DatabaseCheck> CheckDatabase() final;
  StoreExpected<qint64> RemoveAttemptsBefore(const QString& logtime, int limit) final;
  StoreExpected<qint64> RemoveDeliveriesBefore(qint64 created, int limit) final;
  StoreExpected<std::optional<AttemptRow>> VisitAttemptsAfter(
      const AttemptRow* after, const LogSpan& span, int limit,
      const std::function<void(int index, SqlFieldsView fields)>& visit) final;

 protected:
  enum class Use { Read, Write };

  SqlStore(QString description, const SqlDialect& dialect, StoreAccess access);

  // A session on which both tables exist, for one call.
  virtual DbExpected<SqlSession*> OpenSession(Use use) = 0;
  // The session, with the tables brought up to this program's version the first time.
  DbExpected<SqlSession*> OpenWriteSession();
  // The call is over. False when what it read may be torn and must be read again.
  virtual bool CloseSession() = 0;
  virtual DbExpected<bool> MakeTables() = 0;
  // A call failed with `error`; true when the session was dropped as lost and a new one may
  // be tried at once.
  virtual bool SessionFailed(const DbError&) { return false; }
  // Runs `read` on a read session, again when what it read may be torn or the session was lost.
  template <typename T>
  DbExpected<T> Reading(const std::function<DbExpected<T>(SqlSession&)>& read);
  // What to add to a message about `error`, such as why a file cannot be written.
  virtual QString Hint(const DbError& error) const;

  const Interruption& interruption() const { return interruption_; }

 private:
  template <typename Row>
  StoreExpected<std::vector<Row>> Read(const QByteArray& sql, SqlValues values,
                                       Row (*toRow)(const SqlRow&));
  DbExpected<void> Write(SqlSession& session, const QString* text, const AttemptContext& context,
                         StoreResult& result);
  // Whether this attempt starts or ends a run of failures, as the log before it tells.
  DbExpected<std::optional<Event>> RunOfFailures(SqlSession& session, const AttemptRow& attempt);
  DbExpected<void> WriteOutboxRows(SqlSession& session, const Event& event, qint64 now);
  // Runs `work` on a write session and ends the call.
  template <typename T>
  DbExpected<T> Writing(const std::function<DbExpected<T>(SqlSession&)>& work);
  template <typename T>
  StoreExpected<T> OnOutbox(const std::function<DbExpected<T>(SqlSession&)>& work);
  template <typename T>
  StoreExpected<T> ReadOutbox(const std::function<DbExpected<T>(SqlSession&)>& read);
  StoreError Failure(const DbError& error) const;
  void EndCall();

  QString description_;
  const SqlDialect& dialect_;
  StoreAccess access_;
  Interruption interruption_;
  QByteArray insertForecast_;
  QByteArray appendAttempt_;
  QByteArray newestForecast_;
  QByteArray newestForecasts_;
  QByteArray newestAttempts_;
  QByteArray attemptsBefore_;
  QByteArray attemptsBetween_;
  QByteArray insertDelivery_;
  QByteArray newestStatus_;
  QByteArray lastSuccess_;
  QByteArray countAfter_;
  EventRoutes routes_;
  bool schemaReady_ = false;
  QByteArray forecastsAfter_;
  QByteArray attemptsFromStart_;
  QByteArray attemptsAfter_;
  QByteArray removeAttempts_;
};

}  // namespace skyloom
