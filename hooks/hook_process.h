#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QElapsedTimer>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <chrono>

class QProcess;
class QTimer;

namespace skyloom {

// One run of a user's command at a time: /bin/sh -c COMMAND with input on its standard
// input, in a session of its own. The run ends with everything it started, in whatever
// session or process group, when the command exits or its time is up.
class HookProcess final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(HookProcess)

 public:
  explicit HookProcess(QObject* parent = nullptr);
  // Ends a run under way at once.
  ~HookProcess() override;

  // Never blocks: the input is buffered, and `ended` tells the outcome.
  void Start(const QString& command, const QProcessEnvironment& environment,
             const QByteArray& input, std::chrono::milliseconds limit);
  bool Running() const { return process_ != nullptr; }
  // Blocks for what is left of the run's time, then ends it; what `ended` said.
  QString Finish();

 signals:
  // Once a run: empty when it succeeded, otherwise its exit status or how it was stopped,
  // and the first lines of its standard error.
  void ended(const QString& problem);

 private:
  void KeepErrorOutput();
  void Finished(int exitCode, bool crashed);
  void End(const QString& problem);
  void KillAll();

  QTimer* timer_;
  QProcess* process_ = nullptr;
  std::chrono::milliseconds limit_{0};
  QElapsedTimer started_;
  QByteArrayList errorLines_;  // the first lines of its standard error
  bool killedAtLimit_ = false;
  QString problem_;
};

}  // namespace skyloom
