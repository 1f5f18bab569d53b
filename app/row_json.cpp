#include "app/row_json.h"

namespace skyloom {

QJsonObject ForecastJson(const ForecastRow& row) {
  return QJsonObject{{QStringLiteral("id"), row.id},
                     {QStringLiteral("logtime"), row.logtime},
                     {QStringLiteral("text"), row.text ? QJsonValue(*row.text) : QJsonValue()}};
}

QJsonObject AttemptJson(const AttemptRow& row) {
  return QJsonObject{{QStringLiteral("logtime"), row.logtime},
                     {QStringLiteral("status"), row.status},
                     {QStringLiteral("errnum"), row.number},
                     {QStringLiteral("description"), row.description}};
}

}  // namespace skyloom
