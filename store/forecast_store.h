#pragma once

#include <QString>
#include <optional>

#include "app/fetch_state.h"
#include "platform/sqlite_connection.h"

namespace skyloom {

inline const QString kStatusFetched = QStringLiteral("正常获取");
inline const QString kStatusFetchError = QStringLiteral("获取错误");
inline const QString kNotWritten = QStringLiteral("未写入");
inline const QString kWritten = QStringLiteral("成功写入");
inline const QString kEmptyText = QStringLiteral("取回空字串");

// Why an attempt could not be stored or logged; the caller decides how to show it.
struct StoreError {
  int code = 0;
  QString message;
};

// Keeps new forecast text and logs every attempt in one database file. Each operation opens
// and closes its own connection, so another program may hold the file between fetches.
class ForecastStore final {
 public:
  explicit ForecastStore(QString path);

  // Stores ForecastText when it differs from the newest stored forecast, sets the status in
  // the fetch state, then logs the attempt. Stops at the first error.
  std::optional<StoreError> WriteToDB(FetchState& state) const;
  // Appends one tqlog row for the attempt the fetch state describes.
  std::optional<StoreError> TqLog(const FetchState& state) const;

 private:
  StoreError Failure(const DbError& error) const;

  QString path_;
};

}  // namespace skyloom
