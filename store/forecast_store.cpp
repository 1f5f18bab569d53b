#include "store/forecast_store.h"

namespace skyloom {
namespace {

// PostgreSQL cannot hold U+0000 in text, and readers in C stop at it; both backends store the
// replacement character instead, so they keep and compare the same text.
QString Storable(QString text) { return text.replace(QChar(u'\0'), QChar(0xFFFD)); }

}  // namespace

// Only an attempt that cut a forecast out of the page is a success: a page without one is a
// failed attempt whatever came before, or a changed page would pass for an unchanged forecast.
StoreResult ForecastStore::Record(const FetchResult& fetch,
                                  [[maybe_unused]] const QString& previousText) {
  const QString text = fetch.forecast ? Storable(*fetch.forecast) : QString();
  StoreResult result;
  const bool compared = !fetch.RequestFailed() && !text.isEmpty();
  if (compared) {
    result.outcome = StoreOutcome::Unchanged;
    result.logged = AttemptRow{{}, {}, 0, kNotWritten, {}};
  } else if (!fetch.RequestFailed()) {
    result.outcome = StoreOutcome::Empty;
    result.logged = AttemptRow{{}, {}, -1, kEmptyText, {}};
  } else {
    result.logged = AttemptRow{{}, {}, fetch.errorNumber, Storable(fetch.errorDescription), {}};
  }
  result.logged.status = result.logged.number == 0 ? kStatusFetched : kStatusFetchError;

  if ((result.error = BeginWrite())) return result;
  if (compared) {
    if ((result.error = InsertIfNew(text, result.forecastId))) {
      AbandonWrite();
      return result;
    }
    if (result.forecastId != 0) {
      result.outcome = StoreOutcome::Stored;
      result.logged.description = kWritten;
    }
  }
  if (!(result.error = AppendAttempt(result.logged))) result.error = CommitWrite();
  if (result.error) {
    AbandonWrite();
    if (result.outcome == StoreOutcome::Stored) {  // rolled back with the log row
      result.outcome = StoreOutcome::Unchanged;
      result.logged.description = kNotWritten;
      result.forecastId = 0;
    }
  }
  return result;
}

std::vector<ForecastRow> ForecastStore::ForecastRows(const std::vector<SqlRow>& rows) {
  std::vector<ForecastRow> forecasts;
  forecasts.reserve(rows.size());
  for (const SqlRow& row : rows) {
    forecasts.push_back(
        ForecastRow{row[0].value_or(QString()).toLongLong(), row[1].value_or(QString()), row[2]});
  }
  return forecasts;
}

std::vector<AttemptRow> ForecastStore::AttemptRows(const std::vector<SqlRow>& rows) {
  std::vector<AttemptRow> attempts;
  attempts.reserve(rows.size());
  for (const SqlRow& row : rows) {
    attempts.push_back(AttemptRow{row[0].value_or(QString()), row[1].value_or(QString()),
                                  row[2].value_or(QString()).toLongLong(),
                                  row[3].value_or(QString()), row[4].value_or(QString())});
  }
  return attempts;
}

}  // namespace skyloom
