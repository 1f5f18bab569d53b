#include "store/event.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace skyloom {

using namespace Qt::StringLiterals;

namespace {

// Fixed words, as the group chats that read them expect: the collector's users speak Chinese.
constexpr std::array<EventNames, 4> kNames{{
    {EventKind::NewForecast, u"new", u"on_new", u"新预报"},
    {EventKind::Failure, u"failure", u"on_failure", u"采集失败"},
    {EventKind::Recovery, u"recovery", u"on_recovery", u"采集恢复"},
    {EventKind::Test, u"test", u"", u"测试消息"},
}};

}  // namespace

std::span<const EventNames> EventKinds() { return kNames; }

const EventNames& NamesOf(EventKind kind) { return kNames[static_cast<size_t>(kind)]; }

std::optional<EventKind> EventKindNamed(QStringView name) {
  for (const EventNames& names : kNames) {
    if (names.name == name) return names.kind;
  }
  return std::nullopt;
}

QString EventJson(const Event& event) {
  QJsonObject object{{u"event"_s, NamesOf(event.kind).name.toString()},
                     {u"logtime"_s, event.logtime}};
  if (event.kind == EventKind::NewForecast) {
    object.insert(u"id"_s, event.forecastId);
    object.insert(u"text"_s, event.text);
    if (event.previous) {
      object.insert(u"previous"_s, QJsonObject{{u"id"_s, event.previous->id},
                                               {u"logtime"_s, event.previous->logtime},
                                               {u"text"_s, event.previous->text}});
    }
  } else if (event.kind == EventKind::Test) {
    object.insert(u"text"_s, event.text);
  } else {
    object.insert(u"status"_s, event.status);
    object.insert(u"errnum"_s, event.number);
    object.insert(u"description"_s, event.description);
    object.insert(u"failures"_s, event.failures);
  }
  return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

Event NewForecastEvent(qint64 forecastId, const QString& logtime, const QString& text,
                       std::optional<PreviousForecast> previous) {
  return Event{.kind = EventKind::NewForecast,
               .logtime = logtime,
               .forecastId = forecastId,
               .text = text,
               .fields = ParseForecastFields(text),
               .previous = std::move(previous)};
}

Event EventFromRow(const QString& kind, const QString& id, const QString& message) {
  const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
  Event event;
  event.kind = EventKindNamed(kind).value_or(EventKind::Test);
  event.id = id;
  event.logtime = object.value(u"logtime"_s).toString();
  event.forecastId = object.value(u"id"_s).toInteger();
  event.text = object.value(u"text"_s).toString();
  if (event.kind == EventKind::NewForecast) {
    event.fields = ParseForecastFields(event.text);
    if (const QJsonValue previous = object.value(u"previous"_s); previous.isObject()) {
      event.previous =
          PreviousForecast{previous[u"id"_s].toInteger(), previous[u"logtime"_s].toString(),
                           previous[u"text"_s].toString()};
    }
  }
  event.status = object.value(u"status"_s).toString();
  event.number = object.value(u"errnum"_s).toInteger();
  event.description = object.value(u"description"_s).toString();
  event.failures = object.value(u"failures"_s).toInt();
  return event;
}

}  // namespace skyloom
