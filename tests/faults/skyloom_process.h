#pragma once

#include <QDateTime>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <optional>

#include "support/application.h"

class QCoreApplication;

namespace skyloom::test {

struct ProgramOptions {
  // Runs the program as nobody when the tests run as root, who ignores file permissions.
  bool unprivileged = false;
  // The program's wall clock starts at this instant (the monotonic clock is untouched) and
  // runs this many times as fast.
  std::optional<QDateTime> clockStart;
  int clockRate = 1;
  // Or its wall clock follows this file, which MoveClocks writes.
  QString clockFile;
  // Its open-file limit, soft and hard, so that it cannot raise it.
  std::optional<int> openFiles;
};

// Sets the wall clock of every program following `clockFile` to `instant`, from now on.
void MoveClocks(const QString& clockFile, const QDateTime& instant);

// Two seconds before a minute boundary in the morning window. Started then, the headless
// runner counts 29 minutes since its start value of LastSync until the boundary, where the
// count reaches 30 and the first timed fetch is due.
QDateTime JustBeforeATimedFetch();

// Sets up `process` to run the program with these arguments (the mode included).
void ConfigureProgram(QProcess& process, QStringList arguments, const ProgramOptions& options);

// Short limits, so that every misbehaving server is given up on within seconds.
QStringList ShortLimits();

struct OnceRun {
  bool finished = false;  // false: still running at the hang bound, then killed
  int exitCode = -1;
  QString out;
  QString err;
};

// `skyloom --once` with these arguments. The bound only tells a hang from a slow run.
OnceRun RunOnce(const QStringList& arguments, const ProgramOptions& options = {});
// `skyloom` with these arguments, the mode among them.
OnceRun RunProgram(const QStringList& arguments, const ProgramOptions& options = {});

// `skyloom --headless`, killed at destruction if still running.
class HeadlessProgram final {
 public:
  HeadlessProgram(const QStringList& arguments, const ProgramOptions& options);
  ~HeadlessProgram();
  HeadlessProgram(const HeadlessProgram&) = delete;
  HeadlessProgram& operator=(const HeadlessProgram&) = delete;

  // True once standard output holds a whole line; false at the bound or if the program ends.
  bool WaitForOutputLine(int boundMs);
  // True once standard error holds `text`.
  bool WaitForError(const QString& text, int boundMs);
  // True once `done` holds, asked again as output arrives.
  bool WaitUntil(const std::function<bool()>& done, int boundMs);
  bool Running() const { return process_.state() == QProcess::Running; }
  // SIGTERM, then waits for the end; true for a normal exit with status 0.
  bool Terminate();
  const QString& Out() const { return out_; }
  const QString& Err() const { return err_; }
  qint64 Pid() const { return process_.processId(); }
  // Takes in what the program wrote so far; events must have been processed.
  void Collect();

 private:
  QProcess process_;
  QString out_;
  QString err_;
};

// Every file of a folder with its bytes; nullopt when the folder does not exist.
using FolderSnapshot = std::optional<std::map<QString, QByteArray>>;
FolderSnapshot Snapshot(const QString& folder);

}  // namespace skyloom::test
