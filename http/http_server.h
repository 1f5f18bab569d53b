#pragma once

#include <QString>
#include <expected>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace skyloom {

// What one server allows; beyond it a client is refused or cut off, never waited for.
struct ServerLimits {
  std::size_t connections = 1000;
  std::size_t connectionsPerAddress = 64;
  // A request head must arrive whole within this, however its bytes trickle in, or the
  // connection is closed; it is also how long a kept-alive one waits for its next request.
  std::chrono::milliseconds head{10'000};
  // An answer must be taken whole within this.
  std::chrono::milliseconds write{10'000};
  std::size_t requestLineBytes = 8 * 1024;
  std::size_t headerBytes = 8 * 1024;
  int threads = 2;
};

struct HttpHeader {
  std::string_view name;
  std::string_view value;
};

// A request head that passed the server's checks. The views live as long as the handler's
// call; copy what a later answer needs.
struct HttpRequest {
  std::string_view method;  // HEAD is answered as GET; the server drops the body
  std::string_view path;
  std::string_view query;               // after '?', undecoded
  std::span<const HttpHeader> headers;  // every line in order, repeated names included
};

struct HttpAnswer {
  int status = 200;
  std::string headers;  // "Name: value\r\n" lines; see AddHeader
  // Written with the body unless the status has none (204, 304): then neither is sent.
  const char* contentType = "";
  std::string body;

  void AddHeader(std::string_view name, std::string_view value);
};

class HttpConnection;

// Answers one request, from any thread; call it exactly once. Dropped unanswered, the
// connection is closed.
class HttpReply {
 public:
  explicit HttpReply(std::shared_ptr<HttpConnection> connection);
  void operator()(HttpAnswer answer) const;

 private:
  std::shared_ptr<HttpConnection> connection_;
};

// An HTTP/1.1 server on Boost.Beast: a few threads wait on every connection at once, so an
// idle or slow client costs a socket and a little memory, never a thread. The handler runs
// on those threads and must not block: work that waits goes elsewhere and answers through
// its HttpReply.
class HttpServer final {
 public:
  using Handler = std::function<void(const HttpRequest&, HttpReply)>;
  // The answer when the server refuses a request itself (400, 414, 429, 431, 503).
  using Refusal = std::function<HttpAnswer(int status, std::string_view reason)>;

  HttpServer(ServerLimits limits, Handler handler, Refusal refusal);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds HOST:PORT for this server alone (port 0: any free one) and serves; the port got,
  // or what went wrong.
  std::expected<int, QString> Start(const std::string& host, int port);
  // Takes no new connection and closes those waiting for a request.
  void StopAccepting();
  // Gives the answers under way a moment to leave, then ends every connection.
  void Stop();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace skyloom
