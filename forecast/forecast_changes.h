#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

#include "forecast/forecast_fields.h"

namespace skyloom {

// A period's fields as a person reads them, one cell each; empty where the forecast does not
// say. Ranges read "4–5级" and "70–95%", as the status page writes them.
struct PeriodCells {
  QString name;
  QString sky;
  QString wind;  // the wind and its gusts: "东北风4–5级，沿江沿海地区阵风6–7级"
  QString low;   // "8℃"
  QString high;
  QString humidity;  // "70–95%"
};
PeriodCells CellsOf(const ForecastPeriod& period);

// The bulletin a forecast leads with: the page puts the newest first. Nothing without one.
const ForecastBulletin* LeadBulletin(const ForecastFields& fields);

// When `bulletin` was issued: its day ("今天", "昨天", "前天") read from `storedOn`, the day
// the forecast was stored, and its hour. Nothing when the bulletin names no hour.
std::optional<QDateTime> IssueTime(const ForecastBulletin& bulletin, QDate storedOn);

// Whether `after` corrects `before`: their lead bulletins have one issuer and one issue time
// (the day and the hour), each read from the day its forecast was stored.
bool IsCorrection(const ForecastFields& before, QDate beforeStored, const ForecastFields& after,
                  QDate afterStored);

// One field that differs between two forecasts. `before` or `after` is "—" where that
// forecast does not say.
struct FieldChange {
  QString period;  // the period's name when the message names several; else empty
  QString field;  // "天气", "风", "最低温度", "最高温度", "相对湿度"; "时段" for a new name
  QString before;
  QString after;

  friend bool operator==(const FieldChange&, const FieldChange&) = default;
};

// "最高温度 14℃ → 13℃", or "今天夜里：最高温度 14℃ → 13℃" for a named period.
QString ChangeText(const FieldChange& change);

// What changed in the lead bulletin's periods. A period is compared with the period of the
// same name in `before` (any bulletin, the newest first); when none of them has one, the
// periods are compared in order with those of `before`'s lead bulletin, and a new name is a
// change of "时段". Empty when either has no periods to compare.
std::vector<FieldChange> FieldChanges(const ForecastFields& before, const ForecastFields& after);

// One changed stretch of the readable text, with a few unchanged characters either side so
// that it can be read alone: "最高温度：14℃" → "最高温度：13℃"; an insertion or a deletion
// shows the characters around it on the side without it.
struct TextChange {
  QString before;
  QString after;

  friend bool operator==(const TextChange&, const TextChange&) = default;
};

// The changes between two readable texts, in reading order: changes closer than a few
// characters are one, and each side is at most `maxChars` characters (cut with "…").
std::vector<TextChange> TextChanges(const QString& before, const QString& after,
                                    qsizetype maxChars = 60);

}  // namespace skyloom
