#pragma once

#include <QString>
#include <QStringList>
#include <algorithm>
#include <array>
#include <chrono>
#include <vector>

#include "acquisition/forecast_text.h"
#include "platform/http_get.h"
#include "schedule/sync_schedule.h"
#include "store/event.h"
#include "store/pg_store.h"

namespace skyloom {

// How a chat channel writes its messages: in its vendor's rich format (markdown, a card) or
// as the plain text of earlier releases.
enum class MessageFormat { Rich, Text };

// A channel that messages go out on, as its settings line gave it. Plain data: the store
// writes a row for each channel that takes an event, and the delivery worker sends them.
struct NotifyChannel {
  QString name{};  // what the outbox, logs and metrics call it: never the address or secret
  QString type{};  // webhook, wecom, dingtalk or feishu
  QString url{};
  QString secret{};
  std::vector<EventKind> events{EventKind::NewForecast, EventKind::Failure, EventKind::Recovery};
  // The chat channels only.
  MessageFormat format = MessageFormat::Rich;
  // Who a message mentions: mobile numbers (WeCom, DingTalk) or user ids (Feishu); "all" is
  // everyone. Only on the events of `mentionEvents`.
  QStringList mentions{};
  std::vector<EventKind> mentionEvents{EventKind::Failure, EventKind::Recovery};
  // A word every message must hold for the bot to take it; added where it is missing.
  QString keyword{};

  bool Takes(EventKind kind) const { return std::ranges::find(events, kind) != events.end(); }
  // Whom a message of `kind` mentions; empty: no one.
  QStringList MentionsOn(EventKind kind) const {
    return std::ranges::find(mentionEvents, kind) != mentionEvents.end() ? mentions : QStringList();
  }
};

// Which channels take which event: decided here and nowhere else.
inline EventRoutes RoutesOf(const std::vector<NotifyChannel>& channels) {
  EventRoutes routes;
  for (const EventNames& names : EventKinds()) {
    for (const NotifyChannel& channel : channels) {
      if (channel.Takes(names.kind)) routes[names.kind] << channel.name;
    }
  }
  return routes;
}

// What a running collector needs to know, wherever the values came from.
struct ServiceSettings {
  QString address{};           // the page address as the address box starts with it
  QString databaseLocation{};  // an SQLite file or a postgresql:// URI
  HttpLimits limits{};
  PgLimits databaseLimits{};
  QString listen{};  // HOST:PORT of the HTTP API; empty: none
  // The shell command run on each kind of event, held by the setting the kind table names
  // (on_new: each new forecast, on_failure: when attempts start failing, on_recovery: at the
  // first good attempt after failures); empty: none.
  std::array<QString, 4> commands{};
  PageMarkers markers{};
  SyncWindows schedule{};
  // Collectors on one database take turns at the timed fetches; false: this one fetches on
  // every slot whatever the others do.
  bool standby = true;
  // How long a turn outlives its holder's last renewal on a server: the longest a frozen
  // holder keeps it.
  std::chrono::milliseconds leaseTerm{std::chrono::seconds(10)};
  std::vector<NotifyChannel> channels{};
  // A message that has not arrived this long after its event is given up.
  std::chrono::seconds giveUp{24 * 3600};
  // Attempts, and sent or given-up outbox rows, older than this many days are deleted once a
  // day by the collector holding the turn; 0 keeps them all. Forecasts are always kept.
  int keepAttemptsDays = 0;
  int keepDeliveriesDays = 0;

  const QString& EventCommand(EventKind kind) const { return commands[static_cast<size_t>(kind)]; }
};

}  // namespace skyloom
