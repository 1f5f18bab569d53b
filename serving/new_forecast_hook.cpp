#include "serving/new_forecast_hook.h"

#include <signal.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <utility>

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

constexpr int kErrorLinesShown = 5;
constexpr qsizetype kErrorLineLength = 200;
// Enough bytes for a line one character too long in any UTF-8, so that a cut shows; a hook
// that floods its standard error must not fill our memory instead.
constexpr qsizetype kErrorLineBytesKept = 4 * (kErrorLineLength + 1);

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

NewForecastHook::NewForecastHook(QString command, QObject* parent, std::chrono::milliseconds limit)
    : QObject(parent), command_(std::move(command)), limit_(limit), timer_(new QTimer(this)) {
  timer_->setSingleShot(true);
  connect(timer_, &QTimer::timeout, this, [this] {
    killedAtLimit_ = true;
    KillGroup();
  });
}

NewForecastHook::~NewForecastHook() {
  if (!process_) return;
  // No report and no next run while the program ends.
  process_->blockSignals(true);
  KillGroup();
  // Reaps the killed shell here rather than in QProcess's destructor, which would warn first.
  process_->waitForFinished(5000);
}

void NewForecastHook::Run(qint64 id, const QString& logtime, const QString& text) {
  Run(u"New-forecast hook for forecast %1"_s.arg(id),
      {{u"SKYLOOM_ID"_s, QString::number(id)}, {u"SKYLOOM_LOGTIME"_s, logtime}}, text.toUtf8());
}

void NewForecastHook::Run(QString subject, Environment environment, QByteArray input) {
  if (command_.isEmpty()) return;
  queue_.push_back(Job{std::move(subject), std::move(environment), std::move(input)});
  StartNext();
}

void NewForecastHook::StartNext() {
  if (process_ || queue_.empty()) return;
  Job job = std::move(queue_.front());
  queue_.pop_front();
  errorLines_ = {QByteArray()};
  killedAtLimit_ = false;
  subject_ = job.subject;

  process_ = new QProcess(this);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const auto& [name, value] : job.environment) environment.insert(name, value);
  process_->setProcessEnvironment(environment);
  // Nobody reads it, and a full pipe would hang a chatty hook.
  process_->setStandardOutputFile(QProcess::nullDevice());
  // Its own session, so that the limit and the end of the program reach its children too.
  process_->setChildProcessModifier([] { ::setsid(); });
  connect(process_, &QProcess::readyReadStandardError, this, &NewForecastHook::KeepErrorOutput);
  connect(process_, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
    Finished(exitCode, status == QProcess::CrashExit);
  });
  // Queued: start() may report this before it returns, and the run is not set up by then.
  connect(
      process_, &QProcess::errorOccurred, this,
      [this, process = process_](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && process == process_) {
          Finish(u"could not start: %1"_s.arg(process->errorString()));
        }
      },
      Qt::QueuedConnection);

  process_->start(u"/bin/sh"_s, {u"-c"_s, command_});
  group_ = static_cast<pid_t>(process_->processId());
  if (process_->state() != QProcess::NotRunning) {
    // Buffered by QProcess, so a hook that never reads its input cannot block us.
    process_->write(job.input);
    process_->closeWriteChannel();
  }
  timer_->start(limit_);
}

void NewForecastHook::KeepErrorOutput() {
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

void NewForecastHook::Finished(int exitCode, bool crashed) {
  KeepErrorOutput();
  // Whatever the hook left behind in its session goes with it.
  if (group_ > 0) ::kill(-group_, SIGKILL);
  QString problem;
  if (killedAtLimit_) {
    problem = u"killed after %1"_s.arg(LimitText(limit_));
  } else if (crashed) {
    problem = u"ended by signal %1"_s.arg(exitCode);
  } else if (exitCode != 0) {
    problem = u"exited with status %1"_s.arg(exitCode);
  }
  if (problem.isEmpty()) return Finish({});
  const QString lines = FirstLines(errorLines_);
  Finish(lines.isEmpty() ? problem : problem + u'\n' + lines);
}

void NewForecastHook::Finish(const QString& problem) {
  timer_->stop();
  process_->deleteLater();
  process_ = nullptr;
  group_ = 0;
  emit finished(problem.isEmpty() ? problem : u"%1: %2"_s.arg(subject_, problem));
  StartNext();
}

void NewForecastHook::KillGroup() {
  if (group_ <= 0) return;
  // The shell leads its own session, so this reaches whatever it started; the second kill
  // catches a shell that has not got as far as setsid() yet.
  ::kill(-group_, SIGKILL);
  if (process_ && process_->state() != QProcess::NotRunning) ::kill(group_, SIGKILL);
}

}  // namespace skyloom
