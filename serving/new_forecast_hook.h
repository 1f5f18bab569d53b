#pragma once

#include <sys/types.h>

#include <QByteArrayList>
#include <QObject>
#include <QString>
#include <chrono>
#include <deque>
#include <utility>
#include <vector>

class QProcess;
class QTimer;

namespace skyloom {

// Runs a user's command for each new forecast (or each event a caller names), beside the
// schedule and never blocking it. Runs go one at a time in the order they were asked for, so a
// hook that publishes "the newest forecast" never has an older run finish after a newer one.
// Values reach the command only through its environment and standard input, never as code.
class NewForecastHook final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(NewForecastHook)

 public:
  // `command` runs with /bin/sh -c; empty means no hook.
  explicit NewForecastHook(QString command, QObject* parent = nullptr,
                           std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Kills the running hook with everything it started; queued runs are dropped.
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
  void KeepErrorOutput();
  void Finished(int exitCode, bool crashed);
  void Finish(const QString& problem);
  void KillGroup();

  const QString command_;
  const std::chrono::milliseconds limit_;
  QTimer* timer_;
  QProcess* process_ = nullptr;
  pid_t group_ = 0;  // the running hook's session, which its shell leads
  QString subject_;
  std::deque<Job> queue_;
  QByteArrayList errorLines_;  // the first lines of its standard error
  bool killedAtLimit_ = false;
};

}  // namespace skyloom
