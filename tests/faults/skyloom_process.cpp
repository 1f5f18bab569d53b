#include "skyloom_process.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QSaveFile>

namespace skyloom::test {
namespace {

constexpr int kHangBoundMs = 30'000;
constexpr char kNobody[] = "65534";

}  // namespace

void ConfigureProgram(QProcess& process, QStringList arguments, const ProgramOptions& options) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  if (options.clockStart || !options.clockFile.isEmpty()) {
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(CLOCK_SHIFT_LIBRARY));
    if (options.clockStart) {
      environment.insert(QStringLiteral("CLOCK_SHIFT_START"),
                         QString::number(options.clockStart->toSecsSinceEpoch()));
      environment.insert(QStringLiteral("CLOCK_SHIFT_RATE"), QString::number(options.clockRate));
    } else {
      environment.insert(QStringLiteral("CLOCK_SHIFT_FILE"), options.clockFile);
    }
    // The address sanitizer insists on being loaded first; the shift library only moves
    // the clock and allocates nothing.
    QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    if (!asan.isEmpty()) asan += QLatin1Char(':');
    environment.insert(QStringLiteral("ASAN_OPTIONS"), asan + "verify_asan_link_order=0");
  }
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(QDir::rootPath());
  if (const auto files = options.openFiles) {
    process.setChildProcessModifier([files] {
      const rlimit limit{static_cast<rlim_t>(*files), static_cast<rlim_t>(*files)};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    });
  }
  if (options.unprivileged && ::geteuid() == 0) {
    arguments.prepend(QStringLiteral(SKYLOOM_EXECUTABLE));
    arguments.prepend(QStringLiteral("--"));
    arguments.prepend(QStringLiteral("--clear-groups"));
    arguments.prepend(QStringLiteral("--regid=") + kNobody);
    arguments.prepend(QStringLiteral("--reuid=") + kNobody);
    process.setProgram(QStringLiteral("setpriv"));
  } else {
    process.setProgram(QStringLiteral(SKYLOOM_EXECUTABLE));
  }
  process.setArguments(arguments);
}

void MoveClocks(const QString& clockFile, const QDateTime& instant) {
  // Replaced whole, so that no program reads half a number.
  QSaveFile file(clockFile);
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write(QByteArray::number(instant.toSecsSinceEpoch() - QDateTime::currentSecsSinceEpoch()));
  file.commit();
}

QDateTime JustBeforeATimedFetch() { return QDateTime(QDate(2026, 12, 7), QTime(6, 31, 58)); }

QStringList ShortLimits() {
  return {QStringLiteral("--timeout"), QStringLiteral("3"), QStringLiteral("--connect-timeout"),
          QStringLiteral("2")};
}

OnceRun RunOnce(const QStringList& arguments, const ProgramOptions& options) {
  return RunProgram(QStringList{QStringLiteral("--once")} + arguments, options);
}

OnceRun RunProgram(const QStringList& arguments, const ProgramOptions& options) {
  Application();
  QProcess process;
  ConfigureProgram(process, arguments, options);
  process.start();
  OnceRun run;
  run.finished = process.waitForFinished(kHangBoundMs);
  if (!run.finished) {
    process.kill();
    process.waitForFinished();
  }
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = QString::fromUtf8(process.readAllStandardOutput());
  run.err = QString::fromUtf8(process.readAllStandardError());
  return run;
}

HeadlessProgram::HeadlessProgram(const QStringList& arguments, const ProgramOptions& options) {
  Application();
  ConfigureProgram(process_, QStringList{QStringLiteral("--headless")} + arguments, options);
  process_.start();
  process_.waitForStarted();
}

HeadlessProgram::~HeadlessProgram() {
  if (process_.state() == QProcess::NotRunning) return;
  process_.kill();
  process_.waitForFinished();
}

void HeadlessProgram::Collect() {
  out_ += QString::fromUtf8(process_.readAllStandardOutput());
  err_ += QString::fromUtf8(process_.readAllStandardError());
}

bool HeadlessProgram::WaitForOutputLine(int boundMs) {
  return WaitUntil([this] { return out_.contains(QLatin1Char('\n')); }, boundMs);
}

bool HeadlessProgram::WaitForError(const QString& text, int boundMs) {
  return WaitUntil([&] { return err_.contains(text); }, boundMs);
}

bool HeadlessProgram::WaitUntil(const std::function<bool()>& done, int boundMs) {
  const QDeadlineTimer deadline(boundMs);
  for (;;) {
    Collect();
    if (done()) return true;
    if (deadline.hasExpired() || !Running()) return false;
    process_.waitForReadyRead(200);
  }
}

bool HeadlessProgram::Terminate() {
  if (!Running()) return false;
  process_.terminate();
  const bool ended = process_.waitForFinished(kHangBoundMs);
  Collect();
  return ended && process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

FolderSnapshot Snapshot(const QString& folder) {
  const QDir dir(folder);
  if (!dir.exists()) return std::nullopt;
  std::map<QString, QByteArray> files;
  for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
    QFile file(dir.filePath(name));
    files[name] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
  }
  return files;
}

}  // namespace skyloom::test
