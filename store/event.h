#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <array>
#include <optional>
#include <span>

#include "forecast/forecast_fields.h"

namespace skyloom {

// What the program tells the world about. The outbox's `event` column, the channels'
// `events=` words, the commands' settings and the chat headlines all come from one table.
enum class EventKind { NewForecast, Failure, Recovery, Test };

struct EventNames {
  EventKind kind;
  QStringView name;        // "new", "failure", "recovery", "test"
  QStringView commandKey;  // the setting that holds its command; empty for none
  QStringView headline;    // the words a chat message starts with
};

// Every kind, in the order of the enum.
std::span<const EventNames> EventKinds();
const EventNames& NamesOf(EventKind kind);
std::optional<EventKind> EventKindNamed(QStringView name);

// The forecast stored before a new one, as the new one's transaction read it.
struct PreviousForecast {
  qint64 id = 0;
  QString logtime{};  // local 'YYYY-MM-DD HH:MM:SS'
  QString text{};     // as stored

  friend bool operator==(const PreviousForecast&, const PreviousForecast&) = default;
};

// One event, decided and committed once in the transaction of the attempt that caused it;
// every output (commands, channels, streams, the window) takes this value.
struct Event {
  EventKind kind = EventKind::NewForecast;
  QString id{};       // stable: the same on every try of every channel
  QString logtime{};  // local 'YYYY-MM-DD HH:MM:SS' of the forecast or the attempt

  // A new forecast, as tq keeps it.
  qint64 forecastId = 0;
  QString text{};
  std::optional<ForecastFields> fields{};
  // What the messages compare the new forecast with; nothing for the first forecast, and for
  // rows written by releases that did not keep it.
  std::optional<PreviousForecast> previous{};

  // A failure or recovery: the attempt as tqlog keeps it, and the failed attempts in the run
  // (for a recovery, those it ended).
  QString status{};
  qint64 number = 0;
  QString description{};
  int failures = 0;
};

// A new forecast's event as the transaction that stored it makes it: the fields read from the
// text, and the forecast it replaced when there was one. Its id is given when it is written.
Event NewForecastEvent(qint64 forecastId, const QString& logtime, const QString& text,
                       std::optional<PreviousForecast> previous);
// The event as the outbox's `message` column keeps it: a JSON object.
QString EventJson(const Event& event);
// An outbox row's event back; fields are read again from the text. Rows written by earlier
// releases read alike (without a previous forecast).
Event EventFromRow(const QString& kind, const QString& id, const QString& message);

// Which channels take each kind, by name: decided once from the settings, used by the store
// when it writes the outbox rows of an event.
class EventRoutes {
 public:
  QStringList& operator[](EventKind kind) { return names_[static_cast<size_t>(kind)]; }
  const QStringList& operator[](EventKind kind) const { return names_[static_cast<size_t>(kind)]; }

 private:
  std::array<QStringList, 4> names_;
};

}  // namespace skyloom

Q_DECLARE_METATYPE(skyloom::Event)
