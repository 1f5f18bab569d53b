#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <chrono>
#include <deque>
#include <utility>
#include <vector>

namespace skyloom {

class HookProcess;

// One command to run for one event: the user's command, what names it in reports, and the
// values it gets, which reach it only through its environment and standard input, never as
// code.
struct CommandJob {
  QString key;      // the setting that holds the command, e.g. "on_new"
  QString command;  // run with /bin/sh -c; empty runs nothing
  QString subject;  // names the run in reports
  std::vector<std::pair<QString, QString>> environment;  // added to ours
  QByteArray input;
};

// Runs every command the program runs on an event, beside the schedule and never blocking
// it: one at a time, in the order their events happened. One queue for all of them, because
// a run ends with everything below this process, which is only safe while it is the only one.
class CommandQueue final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CommandQueue)

 public:
  explicit CommandQueue(QObject* parent = nullptr,
                        std::chrono::milliseconds limit = std::chrono::seconds(30));
  // The program is stopping: the running command gets what is left of its time, and every
  // queued one is named on standard error, as is what the last one did wrong.
  ~CommandQueue() override;

  // Starts the job, or queues it behind those waiting. Never blocks.
  void Enqueue(CommandJob job);

 signals:
  // After each run: "KEY: SUBJECT: PROBLEM" with its exit status or how it was stopped, and
  // the first lines of its standard error; empty when it succeeded.
  void finished(const QString& problem);

 private:
  void StartNext();
  QString Report(const QString& problem) const;

  const std::chrono::milliseconds limit_;
  HookProcess* process_;
  CommandJob running_;
  std::deque<CommandJob> queue_;
};

}  // namespace skyloom
