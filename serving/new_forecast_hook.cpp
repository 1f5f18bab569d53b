#include "serving/new_forecast_hook.h"

#include <QProcessEnvironment>
#include <utility>

#include "serving/hook_process.h"
#include "serving/problem_log.h"

namespace skyloom {

using namespace Qt::StringLiterals;

NewForecastHook::NewForecastHook(QString command, QObject* parent, std::chrono::milliseconds limit)
    : QObject(parent),
      command_(std::move(command)),
      limit_(limit),
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
    ReportProblem(u"on_new: the hook for forecast %1 will not run: the program is stopping"_s.arg(
        QString::number(job.id)));
  }
  if (const QString problem = Report(process_->Finish()); !problem.isEmpty()) {
    ReportProblem(u"on_new: "_s + problem);
  }
}

void NewForecastHook::Run(qint64 id, const QString& logtime, const QString& text) {
  if (command_.isEmpty()) return;
  queue_.push_back(Job{id, logtime, text});
  StartNext();
}

void NewForecastHook::StartNext() {
  if (process_->Running() || queue_.empty()) return;
  const Job job = std::move(queue_.front());
  queue_.pop_front();
  jobId_ = job.id;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(u"SKYLOOM_ID"_s, QString::number(job.id));
  environment.insert(u"SKYLOOM_LOGTIME"_s, job.logtime);
  process_->Start(command_, environment, job.text.toUtf8(), limit_);
}

QString NewForecastHook::Report(const QString& problem) const {
  if (problem.isEmpty()) return problem;
  return u"New-forecast hook for forecast %1: %2"_s.arg(QString::number(jobId_), problem);
}

}  // namespace skyloom
