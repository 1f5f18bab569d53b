#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace skyloom {

// The states of a delivery, as the outbox's `state` column names them.
inline const QString kDeliveryPending = QStringLiteral("pending");
inline const QString kDeliverySent = QStringLiteral("sent");
inline const QString kDeliveryGivenUp = QStringLiteral("given up");

// A row of the outbox: one event for one channel. Times are seconds since 1970, the same on
// every backend, so that a standby on another machine reads them alike.
struct DeliveryRow {
  qint64 id = 0;
  QString eventId{};  // shared by the rows of one event, sent with every request
  QString event{};
  QString channel{};  // the channel's name, never its address or secret
  QString message{};  // the event as a JSON object
  qint64 created = 0;
  int tries = 0;
  qint64 nextTry = 0;  // pending: when it falls due; sent: when it went
  QString state{};
  QString lastError{};
  std::optional<qint64> redelivered{};  // when an operator last sent it again

  // Where its give-up time counts from.
  qint64 Start() const { return redelivered.value_or(created); }
};

// Which outbox rows a command lists: of a state and a channel; empty: any.
struct DeliveryFilter {
  QString state{};
  QString channel{};
};

// Which rows to send again: those named (row ids, or event ids for all of an event's rows), or
// every given-up row; of one channel when `channel` is given.
struct Redelivery {
  QStringList ids{};
  bool givenUp = false;
  QString channel{};
};

// What the outbox holds now, for /health and /metrics.
struct OutboxSummary {
  qint64 pending = 0;
  qint64 givenUp = 0;
  std::optional<qint64> oldestPending;  // created, of the oldest pending row
};

}  // namespace skyloom
