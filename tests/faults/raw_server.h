#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace skyloom::test {

// A loopback server that speaks raw TCP, for answers no HTTP library would give: a body cut
// short, headers followed by silence, a trickle. It serves one connection at a time: reads
// the request head, hands the socket to the behaviour, then closes it.
class RawServer final {
 public:
  // Must return once `stop` turns true, and should end by itself after a bounded time.
  using Behaviour = std::function<void(int socket, const std::atomic<bool>& stop)>;

  explicit RawServer(Behaviour behaviour);
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int Port() const { return port_; }
  QString Url(const QString& path) const;
  int Connections() const { return connections_; }
  // The head of the newest request, as it arrived.
  std::string LastHead() const;

 private:
  void Serve();

  Behaviour behaviour_;
  int port_ = 0;  // before listener_, which fills it in
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string lastHead_;
  std::thread thread_;
};

// Sends everything, or gives up when the peer has gone (no SIGPIPE).
bool SendAll(int socket, const char* data, size_t size);
bool SendAll(int socket, const std::string& text);
// Sleeps for `milliseconds`, or less when `stop` turns true; false when stopped.
bool Pause(int milliseconds, const std::atomic<bool>& stop);
// Waits, at most `milliseconds`, until the peer closes its side or `stop` turns true.
void WaitForPeerToClose(int socket, int milliseconds, const std::atomic<bool>& stop);

}  // namespace skyloom::test
