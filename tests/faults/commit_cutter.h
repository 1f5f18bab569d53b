#pragma once

#include <atomic>
#include <thread>

namespace skyloom::test {

// Passes TCP connections on to a server on 127.0.0.1 and, once, cuts the first one whose
// client sends COMMIT, both ways, right after passing it on: the server commits and the
// client never hears of it, as when a primary dies with the answer on its way.
class CommitCutter final {
 public:
  explicit CommitCutter(int serverPort);
  ~CommitCutter();
  CommitCutter(const CommitCutter&) = delete;
  CommitCutter& operator=(const CommitCutter&) = delete;

  int Port() const { return port_; }
  bool Cut() const { return cut_; }

 private:
  void Pass();

  int serverPort_;
  int port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};
  std::thread thread_;
};

}  // namespace skyloom::test
