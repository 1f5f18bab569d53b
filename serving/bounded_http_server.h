#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace skyloom {

// How long and how much one connection may take.
struct ConnectionLimits {
  // A request head must arrive whole within this: cpp-httplib's own read timeout restarts
  // with every byte, so a client sending one byte a second would hold a worker for good.
  std::chrono::milliseconds head{5'000};
  // A response must be taken whole within this.
  std::chrono::milliseconds write{10'000};
  // Wait for the next request on a kept-alive connection.
  std::chrono::milliseconds idle{5'000};
  int requestsPerConnection = 100;
  // Past this a request head is dropped without an answer; well above what is answered.
  std::size_t headBytes = 32 * 1024;
  // Every kept-alive connection holds one worker, so there are enough for a busy client.
  std::size_t workers = 64;
};

// cpp-httplib's server with its connections bounded in time and bytes, whatever the client
// does. Requests are still parsed and answered by cpp-httplib; only the transport is ours.
class BoundedHttpServer final : public httplib::Server {
 public:
  explicit BoundedHttpServer(ConnectionLimits limits);
  ~BoundedHttpServer() override;
  BoundedHttpServer(const BoundedHttpServer&) = delete;
  BoundedHttpServer& operator=(const BoundedHttpServer&) = delete;

  // cpp-httplib listens with a backlog of 5, too few for a burst of new connections.
  void RaiseBacklog();
  // Wakes every connection waiting on its client and stops the server.
  void StopServing();

 private:
  bool process_and_close_socket(socket_t sock) override;

  ConnectionLimits limits_;
  int stopEvent_;  // eventfd, readable once stopping
};

}  // namespace skyloom
