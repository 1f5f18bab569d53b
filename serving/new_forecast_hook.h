#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <deque>
#include <utility>
#include <vector>

namespace skyloom {

class HookProcess;

// Runs a user's command for each new forecast (or each event a caller names), beside the
// schedule and never blocking it. Runs go one at a time in the order they were asked for, so a
// hook that publishes "the newest forecast" never has an older run finish after a newer one.
// Values reach the command only through its environment and standard input, never as code.
class NewForecastHook final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(NewForecastHook)

 public:
  // `command` runs with /bin/sh -c; empty means no hook. `key` names it on standard error.
  explicit NewForecastHook(QString command, QObject* parent = nullptr,
                           std::chrono::milliseconds limit = std::chrono::seconds(30),
                           QString key = QStringLiteral("on_new"));
  // The program is stopping: the running hook gets what is left of its time, and every
  // queued one is named on standard error, as is what the last one did wrong.
  ~NewForecastHook() override;

  // Starts the command for a forecast just stored, or queues it behind the running one: its
  // text on standard input (UTF-8), SKYLOOM_ID and SKYLOOM_LOGTIME ("YYYY-MM-DD HH:MM:SS")
  // in its environment. Never blocks.
  void Run(qint64 id, const QString& logtime, const QString& text);

  using Environment = std::vector<std::pair<QString, QString>>;
  // The same for any event: `subject` names the run in reports, `environment` is added to
  // ours, `input` goes to standard input.
  void Run(QString subject, Environment environment, QByteArray input = {});

 signals:
  // After each run: its exit status or how it was stopped, and the first lines of its
  // standard error; empty when it succeeded.
  void finished(const QString& problem);

 private:
  struct Job {
    QString subject;
    Environment environment;
    QByteArray input;
  };

  void StartNext();
  QString Report(const QString& problem) const;

  const QString command_;
  const std::chrono::milliseconds limit_;
  const QString key_;
  HookProcess* process_;
  QString subject_;
  std::deque<Job> queue_;
};

}  // namespace skyloom
