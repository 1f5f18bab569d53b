#include "hooks/command_queue.h"

#include <QProcessEnvironment>
#include <utility>

#include "hooks/hook_process.h"
#include "platform/problem_log.h"

namespace skyloom {

using namespace Qt::StringLiterals;

CommandQueue::CommandQueue(QObject* parent, std::chrono::milliseconds limit)
    : QObject(parent), limit_(limit), process_(new HookProcess(this)) {
  connect(process_, &HookProcess::ended, this, [this](const QString& problem) {
    emit finished(Report(problem));
    StartNext();
  });
}

CommandQueue::~CommandQueue() {
  // Nobody listens any more: what happens now is said on standard error.
  blockSignals(true);
  for (const CommandJob& job : std::exchange(queue_, {})) {
    ReportProblem(u"%1: %2 will not run: the program is stopping"_s.arg(job.key, job.subject));
  }
  if (const QString problem = Report(process_->Finish()); !problem.isEmpty()) {
    ReportProblem(problem);
  }
}

void CommandQueue::Enqueue(CommandJob job) {
  if (job.command.isEmpty()) return;
  queue_.push_back(std::move(job));
  StartNext();
}

void CommandQueue::StartNext() {
  if (process_->Running() || queue_.empty()) return;
  running_ = std::move(queue_.front());
  queue_.pop_front();
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const auto& [name, value] : running_.environment) environment.insert(name, value);
  process_->Start(running_.command, environment, running_.input, limit_);
}

QString CommandQueue::Report(const QString& problem) const {
  if (problem.isEmpty()) return problem;
  return u"%1: %2: %3"_s.arg(running_.key, running_.subject, problem);
}

}  // namespace skyloom
