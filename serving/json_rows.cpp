#include "serving/json_rows.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include "forecast/forecast_fields.h"
#include "forecast/readable_text.h"
#include "forecast/text_diff.h"
#include "platform/clock.h"
#include "store/forecast_event.h"

namespace skyloom {
namespace {

QJsonValue Optional(const std::optional<QString>& text) {
  return text ? QJsonValue(*text) : QJsonValue();
}

// The stored text as it is, and beside it what can be read from it.
QJsonObject ForecastObject(const Event& forecast) {
  return QJsonObject{
      {QStringLiteral("id"), forecast.forecastId},
      {QStringLiteral("logtime"), forecast.logtime},
      {QStringLiteral("text"), forecast.text.isNull() ? QJsonValue() : QJsonValue(forecast.text)},
      {QStringLiteral("fields"), ForecastFieldsJson(forecast.fields)}};
}

QJsonObject ForecastRowObject(const ForecastRow& row) {
  return ForecastObject(EventFromForecast(row));
}

QJsonObject AttemptObject(const AttemptRow& row) {
  return QJsonObject{{QStringLiteral("logtime"), row.logtime},
                     {QStringLiteral("status"), row.status},
                     {QStringLiteral("errnum"), row.number},
                     {QStringLiteral("description"), row.description}};
}

// Only a collector with channels tells of its outbox.
void AddDeliveries(QJsonObject& object, const HealthReport& report) {
  if (!report.deliveriesPending) return;
  object.insert(QStringLiteral("deliveries_pending"), *report.deliveriesPending);
  object.insert(QStringLiteral("deliveries_given_up"), report.deliveriesGivenUp.value_or(0));
  object.insert(
      QStringLiteral("oldest_pending_seconds"),
      report.oldestPendingSeconds ? QJsonValue(*report.oldestPendingSeconds) : QJsonValue());
}

QJsonObject HealthObject(const HealthReport& report) {
  const bool healthy = report.Healthy();
  const QJsonValue failures =
      report.consecutiveFailures ? QJsonValue(*report.consecutiveFailures) : QJsonValue();
  QJsonObject object{
      {QStringLiteral("healthy"), healthy},
      {QStringLiteral("last_attempt"), Optional(report.lastAttempt)},
      {QStringLiteral("last_success"), Optional(report.lastSuccess)},
      {QStringLiteral("consecutive_failures"), failures},
      {QStringLiteral("reason"), healthy ? QJsonValue() : report.reason},
      {QStringLiteral("role"), RoleName(report.role)},
      {QStringLiteral("turn_taken"), report.turnTaken.isValid()
                                         ? QJsonValue(LogTimeText(report.turnTaken.toLocalTime()))
                                         : QJsonValue()}};
  if (!report.servers.empty()) {
    QJsonArray servers;
    for (const PgLinkState& link : report.servers) {
      servers.append(QJsonObject{
          {QStringLiteral("connection"), link.kind},
          {QStringLiteral("server"), link.server.isEmpty() ? QJsonValue() : link.server},
          {QStringLiteral("primary"), link.primary}});
    }
    object.insert(QStringLiteral("servers"), servers);
  }
  AddDeliveries(object, report);
  return object;
}

QString StateName(SlotState state) {
  switch (state) {
    case SlotState::Stored:
      return QStringLiteral("stored");
    case SlotState::Unchanged:
      return QStringLiteral("unchanged");
    case SlotState::NothingExtracted:
      return QStringLiteral("nothing");
    case SlotState::Error:
      return QStringLiteral("error");
    case SlotState::NoAttempt:
      return QStringLiteral("none");
    case SlotState::Later:
      break;
  }
  return QStringLiteral("later");
}

QString ProblemName(HealthProblem problem) {
  switch (problem) {
    case HealthProblem::None:
      break;
    case HealthProblem::NoAttempt:
      return QStringLiteral("no_attempt");
    case HealthProblem::NewestFailed:
      return QStringLiteral("failed");
    case HealthProblem::Stalled:
      return QStringLiteral("stalled");
    case HealthProblem::Unreadable:
      return QStringLiteral("unreadable");
  }
  return {};
}

QString DiffKindName(DiffSpan::Kind kind) {
  switch (kind) {
    case DiffSpan::Kind::Inserted:
      return QStringLiteral("inserted");
    case DiffSpan::Kind::Deleted:
      return QStringLiteral("deleted");
    case DiffSpan::Kind::Same:
      break;
  }
  return QStringLiteral("same");
}

QJsonObject SlotsObject(const SlotGrid& grid) {
  const QString format = QStringLiteral("HH:mm");
  QJsonArray times;
  QJsonArray ends;
  QJsonArray breaks;
  for (std::size_t i = 0; i < grid.times.size(); ++i) {
    times.append(grid.times[i].toString(format));
    ends.append(grid.times[i].addSecs(grid.slotMinutes * 60).toString(format));
    if (grid.GapBefore(i)) breaks.append(static_cast<int>(i));
  }
  QJsonArray days;
  for (int day = 0; day < grid.days; ++day) {
    QJsonArray cells;
    for (int slot = 0; slot < grid.slotsPerDay; ++slot) {
      const SlotCell& cell = grid.At(day, slot);
      QJsonObject object{{QStringLiteral("state"), StateName(cell.state)}};
      if (cell.attempt) object.insert(QStringLiteral("attempt"), AttemptObject(*cell.attempt));
      cells.append(object);
    }
    days.append(
        QJsonObject{{QStringLiteral("date"), grid.firstDay.addDays(day).toString(Qt::ISODate)},
                    {QStringLiteral("cells"), cells}});
  }
  return QJsonObject{{QStringLiteral("times"), times},
                     {QStringLiteral("ends"), ends},
                     {QStringLiteral("breaks"), breaks},
                     {QStringLiteral("days"), days}};
}

// For each day of the slot picture, the highest and lowest temperatures its newest forecast
// names, with that forecast as a person reads it; days without a forecast have no point.
QJsonObject ChartObject(const std::vector<ForecastRow>& newestFirst, const SlotGrid& grid) {
  const QDate lastDay = grid.firstDay.addDays(grid.days - 1);
  QSet<QDate> shown;
  QJsonArray points;
  for (const ForecastRow& row : newestFirst) {
    const QDate day = QDate::fromString(row.logtime.left(10), Qt::ISODate);
    if (!day.isValid() || day < grid.firstDay || day > lastDay || shown.contains(day)) continue;
    shown.insert(day);
    const std::optional<ForecastFields> fields =
        row.text ? ParseForecastFields(*row.text) : std::nullopt;
    const PredictedTemperatures extremes =
        fields ? TemperatureExtremes(*fields) : PredictedTemperatures{};
    const auto number = [](std::optional<int> value) {
      return value ? QJsonValue(*value) : QJsonValue();
    };
    points.append(QJsonObject{{QStringLiteral("date"), day.toString(Qt::ISODate)},
                              {QStringLiteral("id"), row.id},
                              {QStringLiteral("logtime"), row.logtime},
                              {QStringLiteral("readable_text"),
                               row.text ? QJsonValue(ReadableForecast(*row.text)) : QJsonValue()},
                              {QStringLiteral("lowest"), number(extremes.lowest)},
                              {QStringLiteral("highest"), number(extremes.highest)}});
  }
  QJsonArray oldestFirst;
  for (qsizetype i = points.size() - 1; i >= 0; --i) oldestFirst.append(points[i]);
  return QJsonObject{{QStringLiteral("first_day"), grid.firstDay.toString(Qt::ISODate)},
                     {QStringLiteral("days"), grid.days},
                     {QStringLiteral("points"), oldestFirst}};
}

template <typename Row, typename ToObject>
QByteArray Array(const std::vector<Row>& rows, ToObject toObject) {
  QJsonArray array;
  for (const Row& row : rows) array.append(toObject(row));
  return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

}  // namespace

QByteArray ForecastJson(const Event& forecast) {
  return QJsonDocument(ForecastObject(forecast)).toJson(QJsonDocument::Compact);
}

QByteArray ForecastJson(const ForecastRow& row) { return ForecastJson(EventFromForecast(row)); }

QByteArray ForecastsJson(const std::vector<ForecastRow>& rows) {
  return Array(rows, ForecastRowObject);
}

QByteArray AttemptsJson(const std::vector<AttemptRow>& rows) { return Array(rows, AttemptObject); }

QByteArray DeliveriesJson(const std::vector<DeliveryRow>& rows) {
  return Array(rows, [](const DeliveryRow& row) {
    const auto time = [](qint64 seconds) {
      return LogTimeText(QDateTime::fromSecsSinceEpoch(seconds));
    };
    return QJsonObject{
        {QStringLiteral("id"), row.id},
        {QStringLiteral("event_id"), row.eventId},
        {QStringLiteral("event"), row.event},
        {QStringLiteral("channel"), row.channel},
        {QStringLiteral("created"), time(row.created)},
        {QStringLiteral("tries"), row.tries},
        {QStringLiteral("next_try"), row.state == kDeliveryPending ? QJsonValue(time(row.nextTry))
                                                                   : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("state"), row.state},
        {QStringLiteral("last_error"), row.lastError},
        {QStringLiteral("redelivered"),
         row.redelivered ? QJsonValue(time(*row.redelivered)) : QJsonValue(QJsonValue::Null)}};
  });
}

QByteArray ErrorJson(const QString& message) {
  return QJsonDocument(QJsonObject{{QStringLiteral("error"), message}})
      .toJson(QJsonDocument::Compact);
}

QByteArray HealthJson(const HealthReport& report) {
  return QJsonDocument(HealthObject(report)).toJson(QJsonDocument::Compact);
}

QByteArray StatusJson(const std::vector<ForecastRow>& newestFirst, const HealthReport& health,
                      const SlotGrid& grid, const std::vector<AttemptRow>& newestAttempts) {
  QJsonObject status;
  QJsonObject healthObject = HealthObject(health);
  healthObject.insert(QStringLiteral("problem"), ProblemName(health.problem));
  healthObject.insert(QStringLiteral("detail"), health.detail);
  status.insert(QStringLiteral("health"), healthObject);

  QJsonValue forecast;
  QJsonValue previous;
  QJsonArray diff;
  if (!newestFirst.empty()) {
    const ForecastRow& newest = newestFirst.front();
    // The stored text stays as stored; the page shows the readable one.
    const QString readable = ReadableForecast(newest.text.value_or(QString()));
    QJsonObject object = ForecastRowObject(newest);
    object.insert(QStringLiteral("readable_text"),
                  newest.text ? QJsonValue(readable) : QJsonValue());
    forecast = object;
    if (newestFirst.size() > 1) {
      const ForecastRow& before = newestFirst[1];
      previous = QJsonObject{{QStringLiteral("id"), before.id},
                             {QStringLiteral("logtime"), before.logtime}};
      for (const DiffSpan& span :
           DiffCharacters(ReadableForecast(before.text.value_or(QString())), readable)) {
        diff.append(QJsonObject{{QStringLiteral("kind"), DiffKindName(span.kind)},
                                {QStringLiteral("text"), span.text}});
      }
    }
  }
  status.insert(QStringLiteral("forecast"), forecast);
  status.insert(QStringLiteral("previous"), previous);
  status.insert(QStringLiteral("diff"), diff);
  status.insert(QStringLiteral("slots"), SlotsObject(grid));
  status.insert(QStringLiteral("chart"), ChartObject(newestFirst, grid));

  QJsonArray attempts;
  for (const AttemptRow& row : newestAttempts) {
    QJsonObject object = AttemptObject(row);
    object.insert(QStringLiteral("state"), StateName(StateOf(row)));
    object.insert(QStringLiteral("failed"), !Succeeded(row));
    attempts.append(object);
  }
  status.insert(QStringLiteral("attempts"), attempts);
  return QJsonDocument(status).toJson(QJsonDocument::Compact);
}

}  // namespace skyloom
