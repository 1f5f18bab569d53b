#pragma once

#include <QString>
#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skyloom {

// What one server allows; beyond it a client is refused or cut off, never waited for.
struct ServerLimits {
  std::size_t connections = 4096;
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

struct ServerAnswer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // in order; see AddHeader
  // Written with the body unless the status has none (204, 304): then neither is sent.
  const char* contentType = "";
  std::string body;

  void AddHeader(std::string_view name, std::string_view value);
};

// How a streamed answer treats its client.
struct StreamLimits {
  // A client that falls this far behind is dropped, so memory stays bounded.
  std::size_t unsentBytes = 256 * 1024;
  // Sent whenever this passes, so that proxies keep a quiet stream open; empty: nothing.
  std::string idleText;
  std::chrono::milliseconds idleEvery{25'000};
};

class HttpConnection;

// The sending end of an answer whose body goes out piece by piece for as long as the client
// stays (an event stream). From any thread; once the stream has ended, pieces are dropped.
class HttpStream {
 public:
  HttpStream() = default;
  explicit HttpStream(std::weak_ptr<HttpConnection> connection);
  void Send(std::string piece) const;
  // Ends the body and the connection.
  void End() const;

 private:
  std::weak_ptr<HttpConnection> connection_;
};

// Answers one request, from any thread; call it, or Stream, exactly once. Dropped
// unanswered, the connection is closed.
class HttpReply {
 public:
  explicit HttpReply(std::shared_ptr<HttpConnection> connection);
  void operator()(ServerAnswer answer) const;
  // Answers with `head` and a body sent through the stream given. `ended` runs on the
  // server's thread once the stream ends: the client left or fell behind, End was called, or
  // the server stops.
  HttpStream Stream(ServerAnswer head, StreamLimits limits, std::function<void()> ended) const;
  // Runs `then` on the server's thread after `delay`, for an answer that waits; not once the
  // server has stopped.
  void After(std::chrono::milliseconds delay, std::function<void()> then) const;

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
  using Refusal = std::function<ServerAnswer(int status, std::string_view reason)>;

  HttpServer(ServerLimits limits, Handler handler, Refusal refusal);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds HOST:PORT for this server alone (port 0: any free one) and serves; the port got,
  // or what went wrong.
  std::expected<int, QString> Start(const std::string& host, int port);
  // Takes no new connection, closes those waiting for a request and ends every stream.
  void StopAccepting();
  // Gives the answers under way a moment to leave, then ends every connection.
  void Stop();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace skyloom
