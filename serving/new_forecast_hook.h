#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <deque>

namespace skyloom {

class HookProcess;

// Runs a user's command for each new forecast, beside the schedule and never blocking it.
// Runs go one at a time in the order the forecasts were stored, so a hook that publishes
// "the newest forecast" never has an older run finish after a newer one.
class NewForecastHook final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(NewForecastHook)

 public:
  // `command` runs with /bin/sh -c; empty means no hook.
  explicit NewForecastHook(QString command, QObject* parent = nullptr,
                           std::chrono::milliseconds limit = std::chrono::seconds(30));
  // The program is stopping: the running hook gets what is left of its time, and every
  // queued one is named on standard error, as is what the last one did wrong.
  ~NewForecastHook() override;

  // Starts the command for a forecast just stored, or queues it behind the running one: its
  // text on standard input (UTF-8), SKYLOOM_ID and SKYLOOM_LOGTIME ("YYYY-MM-DD HH:MM:SS")
  // in its environment. Never blocks.
  void Run(qint64 id, const QString& logtime, const QString& text);

 signals:
  // After each run: its exit status or how it was stopped, and the first lines of its
  // standard error; empty when it succeeded.
  void finished(const QString& problem);

 private:
  struct Job {
    qint64 id;
    QString logtime;
    QString text;
  };

  void StartNext();
  QString Report(const QString& problem) const;

  const QString command_;
  const std::chrono::milliseconds limit_;
  HookProcess* process_;
  qint64 jobId_ = 0;
  std::deque<Job> queue_;
};

}  // namespace skyloom
