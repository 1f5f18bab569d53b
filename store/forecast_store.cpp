#include "store/forecast_store.h"

#include <sqlite3.h>

#include <QFileInfo>

#include "store/schema.h"

namespace skyloom {

ForecastStore::ForecastStore(QString path) : path_(std::move(path)) {}

StoreError ForecastStore::Failure(const DbError& error) const {
  QString message = QStringLiteral("Database %1: %2").arg(path_, error.message);
  // SQLite blames the file when it cannot make its journal beside it.
  const int primary = error.code & 0xff;
  const QFileInfo file(path_);
  if ((primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN) && file.exists() &&
      !QFileInfo(file.absolutePath()).isWritable()) {
    message += QStringLiteral(" (the folder %1 is not writable)").arg(file.absolutePath());
  }
  return StoreError{error.code, message};
}

std::optional<StoreError> ForecastStore::WriteToDB(FetchState& state) const {
  if (state.ForecastText != kErrorText && !state.ForecastText.isEmpty()) {
    SqliteConnection connection;
    if (auto error = OpenForecastDatabase(connection, path_)) return Failure(*error);
    state.FetchErrDes = kNotWritten;
    std::optional<QString> newest;
    if (auto error = connection.QueryText("SELECT tqyb FROM tq ORDER BY id DESC LIMIT 1", newest)) {
      return Failure(*error);
    }
    // An empty table or a null newest row counts as different, so the first forecast is
    // stored and a null can never block every later one.
    if (!newest || *newest != state.ForecastText) {
      if (auto error =
              connection.Run("INSERT INTO tq(logtime,tqyb) VALUES (datetime('now','localtime'),?)",
                             {state.ForecastText})) {
        return Failure(*error);
      }
      state.FetchErrDes = kWritten;
    }
  } else if (state.ForecastText.isEmpty()) {
    state.FetchErrNum = -1;
    state.FetchErrDes = kEmptyText;
  }
  return TqLog(state);
}

std::optional<StoreError> ForecastStore::TqLog(const FetchState& state) const {
  const QString& status = state.FetchErrNum == 0 ? kStatusFetched : kStatusFetchError;
  SqliteConnection connection;
  if (auto error = OpenForecastDatabase(connection, path_)) return Failure(*error);
  if (auto error = connection.Run("INSERT INTO tqlog(logtime,errstat,errnum,errdes) "
                                  "VALUES(datetime('now','localtime'),?,?,?)",
                                  {status, qint64{state.FetchErrNum}, state.FetchErrDes})) {
    return Failure(*error);
  }
  return std::nullopt;
}

}  // namespace skyloom
