#include "serving/new_forecast_hook.h"

#include <QProcessEnvironment>
#include <utility>

#include "serving/hook_process.h"
#include "serving/problem_log.h"

namespace skyloom {

using namespace Qt::StringLiterals;

NewForecastHook::NewForecastHook(QString command, QObject* parent, std::chrono::milliseconds limit,
                                 QString key)
    : QObject(parent),
      command_(std::move(command)),
      limit_(limit),
      key_(std::move(key)),
      process_(new HookProcess(this)) {
  connect(process_, &HookProcess::ended, this, [this](const QString& problem) {
    emit finished(Report(problem));
    StartNext();
  });
}

NewForecastHook::~NewForecastHook() {
  // Nobody listens any more: what happens now is said on standard error.
  blockSignals(true);
  for (const Job& job : std::exchange(queue_, {})) {
    ReportProblem(u"%1: %2 will not run: the program is stopping"_s.arg(key_, job.subject));
  }
  if (const QString problem = Report(process_->Finish()); !problem.isEmpty()) {
    ReportProblem(key_ + u": "_s + problem);
  }
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
  if (process_->Running() || queue_.empty()) return;
  const Job job = std::move(queue_.front());
  queue_.pop_front();
  subject_ = job.subject;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const auto& [name, value] : job.environment) environment.insert(name, value);
  process_->Start(command_, environment, job.input, limit_);
}

QString NewForecastHook::Report(const QString& problem) const {
  if (problem.isEmpty()) return problem;
  return u"%1: %2"_s.arg(subject_, problem);
}

}  // namespace skyloom
