#pragma once

// Boost.Beast rather than libmicrohttpd: libmicrohttpd's timeout restarts with every byte, so
// a client trickling its head keeps its connection, and it answers its own refusals (414,
// 431, 400, a full server) with fixed HTML or a bare close. Beast's parser refuses blanks
// before a colon, control bytes and conflicting lengths by itself, its streams carry a
// deadline for a whole operation, and every refusal stays ours to word. It is header-only,
// so nothing is added at run time.
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "http/head_deadlines.h"
#include "http/http_server.h"

namespace skyloom {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;
// Each connection lives on one loop run by one thread, so it needs no strand; and a concrete
// executor rather than Beast's type-erased default saves allocations on every operation.
using Executor = net::io_context::executor_type;
using Socket = tcp::socket::rebind_executor<Executor>::other;
using Stream = beast::basic_stream<tcp, Executor>;

// One event loop and what is its own: an accept of its own on the shared listening socket,
// so that whichever loop is free takes the next connection and serves it without a hand-off,
// and the head deadlines of the connections it serves.
struct Loop {
  explicit Loop(std::chrono::milliseconds headWait) : context(1), deadlines(context, headWait) {}

  net::io_context context;
  HeadDeadlines deadlines;
  std::optional<tcp::acceptor> acceptor;
  std::optional<net::steady_timer> acceptPause;
  tcp::endpoint peer;  // of the connection being accepted
};

// The listening socket, the loops and their threads, and the count of connections, which
// each connection joins when admitted and leaves when destroyed.
class HttpServer::Impl {
 public:
  Impl(ServerLimits limits, Handler handler, Refusal refusal)
      : limits(limits), handler(std::move(handler)), refusal(std::move(refusal)) {
    for (int i = 0; i < std::max(1, limits.threads); ++i) {
      loops_.push_back(std::make_unique<Loop>(limits.head));
    }
  }
  ~Impl() { Halt(); }

  std::optional<QString> Listen(const std::string& host, int port, int& boundPort);
  void StopAccepting();
  void Stop();
  void Halt();

  // Starts serving a new connection on the loop that accepted it; the status of its
  // refusal, or 0.
  int Admit(Loop& loop, Socket& socket, const net::ip::address& peer);
  void Leave(HttpConnection* connection, const net::ip::address& peer);
  bool Stopping() const { return stopping_; }

  const ServerLimits limits;
  const Handler handler;
  const Refusal refusal;

 private:
  std::optional<QString> OpenAcceptors(const std::string& host, int port);
  void Run(net::io_context& loop);
  void Accept(Loop& loop);
  void OnAccept(Loop& loop, const beast::error_code& error, Socket socket);
  void RefuseAtOnce(Socket& socket, int status, std::string_view reason);
  // The connection waiting longest for its request, marked for eviction; null if none waits.
  std::shared_ptr<HttpConnection> TakeLongestWaiting();

  // The longest waiting connections as of the last look, longest first. They can only have
  // waited longer since, and any that began waiting after that look waits less, so the list
  // stays in order while entries that got their request drop out: a full server under a flood
  // looks at all its connections once per this many evictions, not on every accept.
  struct Waiter {
    std::weak_ptr<HttpConnection> connection;
    std::int64_t since;
  };
  static constexpr std::size_t kWaitersKept = 128;

  std::mutex mutex_;
  std::condition_variable drained_;
  std::list<HttpConnection*> connections_;
  std::map<net::ip::address, std::size_t> perAddress_;
  std::atomic<bool> stopping_{false};
  std::size_t connectionCap_ = 0;
  std::vector<Waiter> longestWaiting_;  // the next to go at the back
  // Declared last, so that connections it still holds go before what they leave from.
  std::vector<std::unique_ptr<Loop>> loops_;
  std::vector<net::executor_work_guard<Executor>> work_;
  std::vector<std::thread> threads_;
};

}  // namespace skyloom
