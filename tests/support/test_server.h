#pragma once

#include <httplib.h>

#include <QByteArray>
#include <QString>
#include <atomic>
#include <thread>

namespace skyloom::test {

// A real HTTP server on 127.0.0.1 with a free port, serving from its own thread.
class TestServer final {
 public:
  TestServer();
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Register handlers before Start().
  httplib::Server& Http() { return server_; }
  void Start();
  // Serves these bytes for every GET of `path`, with a gb2312 content type.
  void ServeBytes(const std::string& path, QByteArray bytes, int status = 200);

  int Port() const { return port_; }
  QString Url(const QString& path) const;
  // Handlers that wait should give up once this turns true.
  bool Stopping() const { return stopping_; }
  // Number of requests seen, and the target (path and query) of the last one.
  int Requests() const { return requests_; }
  std::string LastTarget() const;

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  mutable std::mutex mutex_;
  std::string lastTarget_;
};

}  // namespace skyloom::test
