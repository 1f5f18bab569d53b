#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>
#include <vector>

namespace skyloom {

// A range on a scale, both ends included; a single value has equal ends.
struct ValueRange {
  int lowest = 0;
  int highest = 0;

  friend bool operator==(const ValueRange&, const ValueRange&) = default;
};

struct ForecastWind {
  QString direction;  // "东北风", "偏北风", "东到东南风"
  ValueRange force;   // on the 0 to 17 级 scale
};

struct ForecastGust {
  std::optional<QString> area;  // "沿江沿海地区"; nothing when the clause names none
  ValueRange force;
};

struct ForecastTemperature {
  std::optional<QString> day;  // named before it in its sentence: "明天"
  int celsius = 0;
};

struct ForecastPeriod {
  QString name;  // "今天夜里到明天"
  std::optional<QString> sky;
  std::optional<ForecastWind> wind;
  std::vector<ForecastGust> gusts;
  std::optional<ForecastTemperature> low;
  std::optional<ForecastTemperature> high;
  std::optional<ValueRange> humidity;  // per cent
  QStringList unparsed;                // clauses read but not understood, as written
};

// One "…点钟发布：" heading and what follows it up to the next.
struct ForecastBulletin {
  std::optional<QString> issuer;  // "市气象台"
  std::optional<QString> issuedDay;
  std::optional<int> issuedHour;
  std::vector<ForecastPeriod> periods;
  QStringList unparsed;  // clauses before the first period, or in the heading itself
};

struct ForecastFields {
  std::vector<ForecastBulletin> bulletins;
};

// The provider's paragraph picked apart, reading the entity text "&nbsp;" as a space. Only
// what follows a known shape becomes a field; every other clause is kept as written in its
// period's or bulletin's `unparsed`. A text without a bulletin heading has no fields at all.
// Takes time linear in the length of `stored`.
std::optional<ForecastFields> ParseForecastFields(QStringView stored);

// The fields as the API, the read commands and the status page give them; null without any.
QJsonValue ForecastFieldsJson(const std::optional<ForecastFields>& fields);

// The lowest low and the highest high the forecast names, over all its periods.
struct PredictedTemperatures {
  std::optional<int> lowest;
  std::optional<int> highest;
};
PredictedTemperatures TemperatureExtremes(const ForecastFields& fields);

}  // namespace skyloom
