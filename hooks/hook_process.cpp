#include "hooks/hook_process.h"

#include <unistd.h>

#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <algorithm>

#include "hooks/process_tree.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

constexpr int kErrorLinesShown = 5;
constexpr qsizetype kErrorLineLength = 200;
// Enough bytes for a line one character too long in any UTF-8, so that a cut shows; a hook
// that floods its standard error must not fill our memory instead.
constexpr qsizetype kErrorLineBytesKept = 4 * (kErrorLineLength + 1);
// How long a killed shell may take to be reaped.
constexpr int kReapMs = 5000;

QString FirstLines(const QByteArrayList& kept) {
  QStringList lines;
  for (const QByteArray& bytes : kept) {
    const QString line = QString::fromUtf8(bytes).trimmed();
    if (line.isEmpty()) continue;
    lines << (line.size() > kErrorLineLength ? line.left(kErrorLineLength) + u'…' : line);
  }
  return lines.join(u'\n');
}

QString LimitText(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return u"%1 s"_s.arg(limit.count() / 1000);
  return u"%1 ms"_s.arg(limit.count());
}

}  // namespace

HookProcess::HookProcess(QObject* parent) : QObject(parent), timer_(new QTimer(this)) {
  AdoptOrphans();
  timer_->setSingleShot(true);
  connect(timer_, &QTimer::timeout, this, [this] {
    killedAtLimit_ = true;
    KillAll();
  });
}

HookProcess::~HookProcess() {
  if (!process_) return;
  process_->blockSignals(true);
  KillAll();
  // Reaps the killed shell here rather than in QProcess's destructor, which would warn first.
  process_->waitForFinished(kReapMs);
}

void HookProcess::Start(const QString& command, const QProcessEnvironment& environment,
                        const QByteArray& input, std::chrono::milliseconds limit) {
  if (process_) return;
  limit_ = limit;
  problem_.clear();
  errorLines_ = {QByteArray()};
  killedAtLimit_ = false;
  process_ = new QProcess(this);
  process_->setProcessEnvironment(environment);
  // Nobody reads it, and a full pipe would hang a chatty hook.
  process_->setStandardOutputFile(QProcess::nullDevice());
  // Away from our terminal, whose Ctrl-C stops the program, which then gives the run its
  // remaining time.
  process_->setChildProcessModifier([] { ::setsid(); });
  connect(process_, &QProcess::readyReadStandardError, this, &HookProcess::KeepErrorOutput);
  connect(process_, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
    Finished(exitCode, status == QProcess::CrashExit);
  });
  // Queued: start() may report this before it returns, and the run is not set up by then.
  connect(
      process_, &QProcess::errorOccurred, this,
      [this, process = process_](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && process == process_) {
          End(u"could not start: %1"_s.arg(process->errorString()));
        }
      },
      Qt::QueuedConnection);

  started_.start();
  process_->start(u"/bin/sh"_s, {u"-c"_s, command});
  if (process_->state() != QProcess::NotRunning) {
    // Buffered by QProcess, so a hook that never reads its input cannot block us.
    process_->write(input);
    process_->closeWriteChannel();
  }
  timer_->start(limit_);
}

QString HookProcess::Finish() {
  if (!process_) return {};
  QProcess* process = process_;
  if (process->state() == QProcess::NotRunning) {
    End(u"could not start: %1"_s.arg(process->errorString()));
    return problem_;
  }
  const auto left = limit_ - std::chrono::milliseconds(started_.elapsed());
  if (!process->waitForFinished(static_cast<int>(std::max<qint64>(left.count(), 0)))) {
    killedAtLimit_ = true;
    KillAll();
    process->waitForFinished(kReapMs);
  }
  if (process_) End(u"could not be ended"_s);
  return problem_;
}

void HookProcess::KeepErrorOutput() {
  // The last line is the one still arriving.
  for (const char byte : process_->readAllStandardError()) {
    if (errorLines_.size() > kErrorLinesShown) return;
    QByteArray& line = errorLines_.back();
    if (byte != '\n') {
      if (line.size() < kErrorLineBytesKept) line.append(byte);
    } else if (line.trimmed().isEmpty()) {
      line.clear();
    } else {
      errorLines_.append(QByteArray());
    }
  }
}

void HookProcess::Finished(int exitCode, bool crashed) {
  KeepErrorOutput();
  QString problem;
  if (killedAtLimit_) {
    problem = u"killed after %1"_s.arg(LimitText(limit_));
  } else if (crashed) {
    problem = u"ended by signal %1"_s.arg(exitCode);
  } else if (exitCode != 0) {
    problem = u"exited with status %1"_s.arg(exitCode);
  }
  if (problem.isEmpty()) return End({});
  const QString lines = FirstLines(errorLines_);
  End(lines.isEmpty() ? problem : problem + u'\n' + lines);
}

void HookProcess::End(const QString& problem) {
  // Whatever the run left behind goes with it, wherever it went.
  KillAll();
  timer_->stop();
  process_->disconnect(this);
  process_->deleteLater();
  process_ = nullptr;
  problem_ = problem;
  emit ended(problem);
}

void HookProcess::KillAll() {
  const auto shell = static_cast<pid_t>(process_ ? process_->processId() : 0);
  KillDescendants(shell);
}

}  // namespace skyloom
