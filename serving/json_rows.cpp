#include "serving/json_rows.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace skyloom {
namespace {

QJsonValue Optional(const std::optional<QString>& text) {
  return text ? QJsonValue(*text) : QJsonValue();
}

QJsonObject ForecastObject(const ForecastRow& row) {
  return QJsonObject{{QStringLiteral("id"), row.id},
                     {QStringLiteral("logtime"), row.logtime},
                     {QStringLiteral("text"), Optional(row.text)}};
}

QJsonObject AttemptObject(const AttemptRow& row) {
  return QJsonObject{{QStringLiteral("logtime"), row.logtime},
                     {QStringLiteral("status"), row.status},
                     {QStringLiteral("errnum"), row.number},
                     {QStringLiteral("description"), row.description}};
}

template <typename Row, typename ToObject>
QByteArray Array(const std::vector<Row>& rows, ToObject toObject) {
  QJsonArray array;
  for (const Row& row : rows) array.append(toObject(row));
  return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

}  // namespace

QByteArray ForecastJson(const ForecastRow& row) {
  return QJsonDocument(ForecastObject(row)).toJson(QJsonDocument::Compact);
}

QByteArray ForecastsJson(const std::vector<ForecastRow>& rows) {
  return Array(rows, ForecastObject);
}

QByteArray AttemptsJson(const std::vector<AttemptRow>& rows) { return Array(rows, AttemptObject); }

QByteArray ErrorJson(const QString& message) {
  return QJsonDocument(QJsonObject{{QStringLiteral("error"), message}})
      .toJson(QJsonDocument::Compact);
}

QByteArray HealthJson(const HealthReport& report) {
  const bool healthy = report.Healthy();
  const QJsonValue failures =
      report.consecutiveFailures ? QJsonValue(*report.consecutiveFailures) : QJsonValue();
  return QJsonDocument(
             QJsonObject{{QStringLiteral("healthy"), healthy},
                         {QStringLiteral("last_attempt"), Optional(report.lastAttempt)},
                         {QStringLiteral("last_success"), Optional(report.lastSuccess)},
                         {QStringLiteral("consecutive_failures"), failures},
                         {QStringLiteral("reason"), healthy ? QJsonValue() : report.reason},
                         {QStringLiteral("role"), RoleName(report.role)}})
      .toJson(QJsonDocument::Compact);
}

}  // namespace skyloom
