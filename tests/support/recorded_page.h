#pragma once

#include <QByteArray>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_server.h"

namespace skyloom::test {

// Serves fixed bytes at one path and keeps the target (path and query) of every request,
// recorded before the answer goes out.
class RecordedPage final {
 public:
  RecordedPage(TestServer& server, const std::string& path, QByteArray bytes);
  RecordedPage(const RecordedPage&) = delete;
  RecordedPage& operator=(const RecordedPage&) = delete;

  std::vector<std::string> Targets() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
};

}  // namespace skyloom::test
