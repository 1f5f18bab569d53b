#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "settings/service_settings.h"
#include "store/outbox.h"

class QTimer;

namespace skyloom {

class ChannelLoop;
class Clock;
class ForecastStore;
class WorkerThread;

// Sends the outbox's rows, each channel on a thread and a store connection of its own, so that
// a slow or failing receiver holds up no other channel and never the collector. Rows wait for
// their channel's rate limit, which counts what the group sent before this collector became
// active; they are retried with backoff and given up after the settings' time;
// a row whose outcome was not kept is sent again, with the same event id.
class DeliveryWorker final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(DeliveryWorker)

 public:
  enum class Outcome { Sent, Retried, GivenUp };
  Q_ENUM(Outcome)

  // `clock` decides when rows fall due and when they are given up.
  DeliveryWorker(const Clock& clock, const ServiceSettings& settings, QObject* parent = nullptr);
  // Stops first (see Stop).
  ~DeliveryWorker() override;

  // Starts the channels; they send only while active.
  void Start();
  // Ends a request under way at once and the threads within a few seconds; what was under way
  // stays pending.
  void Stop();
  // Only the active collector of a group delivers; a standby keeps its hands off the rows.
  void SetActive(bool active);
  // Asked from the channels' threads before each request, before Start: whether this
  // collector surely holds its group's turn, so that one just taken over from stops at once.
  void SetTurnHeld(std::function<bool()> held);
  // Rows may be due now: an event was committed.
  void Wake();

 signals:
  // A line for standard error; never an address or a secret.
  void report(const QString& line);
  // One try of one row on `channel` ended so.
  void tried(const QString& channel, skyloom::DeliveryWorker::Outcome outcome);
  // What the outbox holds now; read every few seconds.
  void summarised(const skyloom::OutboxSummary& summary);

 private:
  void Summarise();

  const ServiceSettings settings_;
  std::shared_ptr<ForecastStore> store_;  // the outbox thread's connection
  std::unique_ptr<WorkerThread> thread_;
  std::vector<std::shared_ptr<ChannelLoop>> loops_;
  QTimer* summaryTimer_;
  bool started_ = false;
};

}  // namespace skyloom
