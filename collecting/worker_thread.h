#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

namespace skyloom {

// One thread kept for jobs that wait, made at the first job. A QThread per job would cost a
// new thread and an event dispatcher with descriptors of its own each time, and Qt ends the
// program when it cannot make one; here a thread that cannot be made is a failed job.
class WorkerThread final {
 public:
  WorkerThread() = default;
  // Waits for the job under way.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Runs `job` on the thread, after the one under way; why not, and nothing runs, when there
  // is no thread and none can be made.
  std::error_code Run(std::function<void()> job);
  // Waits until every job given has returned.
  void Wait();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool busy_ = false;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace skyloom
