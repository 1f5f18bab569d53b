#include "http/http_server.h"

#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/beast/http/write.hpp>
#include <cerrno>
#include <cstring>

#include "http/http_connection.h"
#include "http/http_framing.h"
#include "http/http_server_impl.h"
#include "platform/open_files.h"
#include "platform/problem_log.h"

namespace skyloom {
namespace {

// Connections never take the descriptors the rest of the program needs: under any flood a
// fetch, the database and a hook can still open theirs.
constexpr std::size_t kDescriptorsKept = 64;
constexpr std::size_t kFewestConnections = 16;
// A server out of descriptors tries again after this rather than spinning.
constexpr std::chrono::milliseconds kAcceptPause{100};

bool OutOfDescriptors(const beast::error_code& error) {
  const int code = error.value();
  return error.category() == boost::system::system_category() &&
         (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM);
}

}  // namespace

void ServerAnswer::AddHeader(std::string_view name, std::string_view value) {
  headers.emplace_back(name, value);
}

HttpReply::HttpReply(std::shared_ptr<HttpConnection> connection)
    : connection_(std::move(connection)) {}

void HttpReply::operator()(ServerAnswer answer) const { connection_->Answer(std::move(answer)); }

HttpStream HttpReply::Stream(ServerAnswer head, StreamLimits limits,
                             std::function<void()> ended) const {
  connection_->Open(std::move(head), std::move(limits), std::move(ended));
  return HttpStream(connection_);
}

void HttpReply::After(std::chrono::milliseconds delay, std::function<void()> then) const {
  connection_->Later(delay, std::move(then));
}

HttpStream::HttpStream(std::weak_ptr<HttpConnection> connection)
    : connection_(std::move(connection)) {}

void HttpStream::Send(std::string piece) const {
  if (const auto connection = connection_.lock()) connection->Push(std::move(piece));
}

void HttpStream::End() const {
  if (const auto connection = connection_.lock()) connection->EndStream();
}

std::optional<QString> HttpServer::Impl::OpenAcceptors(const std::string& host, int port) {
  beast::error_code error;
  Loop& first = *loops_.front();
  tcp::resolver resolver(first.context);
  const auto found = resolver.resolve(
      host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, error);
  if (error) return QString::fromStdString(error.message());
  first.acceptor.emplace(first.context);
  for (const auto& entry : found) {
    beast::error_code ignored;
    first.acceptor->close(ignored);
    error = {};
    // SO_REUSEADDR only lets a restarted server past old connections; without
    // SO_REUSEPORT a second server on the address fails to bind.
    if (!first.acceptor->open(entry.endpoint().protocol(), error) &&
        !first.acceptor->set_option(tcp::acceptor::reuse_address(true), error) &&
        !first.acceptor->bind(entry.endpoint(), error) &&
        !first.acceptor->listen(net::socket_base::max_listen_connections, error)) {
      break;
    }
  }
  if (error) return QString::fromStdString(error.message());
  // The other loops accept from the same socket through descriptors of their own: the kernel
  // wakes each, and the first free one takes the connection.
  for (auto loop = loops_.begin() + 1; loop != loops_.end(); ++loop) {
    const int copy = ::dup(first.acceptor->native_handle());
    if (copy < 0) return QString::fromLocal8Bit(std::strerror(errno));
    (*loop)->acceptor.emplace((*loop)->context);
    if ((*loop)->acceptor->assign(first.acceptor->local_endpoint().protocol(), copy, error)) {
      ::close(copy);
      return QString::fromStdString(error.message());
    }
  }
  return std::nullopt;
}

std::optional<QString> HttpServer::Impl::Listen(const std::string& host, int port, int& boundPort) {
  if (auto problem = OpenAcceptors(host, port)) {
    for (const auto& loop : loops_) {
      beast::error_code ignored;
      if (loop->acceptor) loop->acceptor->close(ignored);
    }
    return problem;
  }
  beast::error_code error;
  boundPort = loops_.front()->acceptor->local_endpoint(error).port();
  const std::size_t free = FreeDescriptors();
  connectionCap_ =
      std::min(limits.connections,
               std::max(kFewestConnections, free > kDescriptorsKept ? free - kDescriptorsKept : 0));
  if (connectionCap_ < limits.connections) {
    ReportProblem(QStringLiteral("the API takes at most %1 connections: the open-file limit allows "
                                 "no more")
                      .arg(connectionCap_));
  }
  for (const auto& loop : loops_) {
    work_.push_back(net::make_work_guard(loop->context));
    loop->acceptPause.emplace(loop->context);
    Accept(*loop);
  }
  try {
    for (const auto& loop : loops_) {
      threads_.emplace_back([this, &context = loop->context] { Run(context); });
    }
  } catch (const std::system_error& failure) {
    Halt();
    return QString::fromLocal8Bit(failure.what());
  }
  return std::nullopt;
}

void HttpServer::Impl::Run(net::io_context& loop) {
  for (;;) {
    try {
      loop.run();
      return;
    } catch (const std::exception& failure) {
      ReportProblem(QStringLiteral("the API failed at a request: %1").arg(failure.what()));
    }
  }
}

void HttpServer::Impl::Accept(Loop& loop) {
  loop.acceptor->async_accept(loop.context.get_executor(), loop.peer,
                              [this, &loop](beast::error_code error, Socket socket) {
                                OnAccept(loop, error, std::move(socket));
                              });
}

void HttpServer::Impl::OnAccept(Loop& loop, const beast::error_code& error, Socket socket) {
  if (error == net::error::operation_aborted || !loop.acceptor->is_open()) return;
  if (error) {
    ReportProblem(QStringLiteral("the API could not take a connection: %1")
                      .arg(QString::fromStdString(error.message())));
    if (!OutOfDescriptors(error)) return Accept(loop);
    loop.acceptPause->expires_after(kAcceptPause);
    loop.acceptPause->async_wait([this, &loop](beast::error_code waited) {
      if (!waited) Accept(loop);
    });
    return;
  }
  const net::ip::address peer = loop.peer.address();
  if (const int refused = Admit(loop, socket, peer)) {
    RefuseAtOnce(socket, refused,
                 refused == 429 ? "too many connections from this address"
                                : "the server has all the connections it can take");
  }
  Accept(loop);
}

int HttpServer::Impl::Admit(Loop& loop, Socket& socket, const net::ip::address& peer) {
  std::shared_ptr<HttpConnection> admitted;
  std::shared_ptr<HttpConnection> evicted;
  {
    const std::lock_guard lock(mutex_);
    if (stopping_) return 503;
    const auto fromPeer = perAddress_.find(peer);
    if (fromPeer != perAddress_.end() && fromPeer->second >= limits.connectionsPerAddress) {
      return 429;
    }
    if (connections_.size() >= connectionCap_) {
      // The longest wait for a request makes room: a client that sends its request within
      // the head limit is never the one, and a flood of idle ones only turns over.
      evicted = TakeLongestWaiting();
      if (!evicted) return 503;
    }
    ++perAddress_[peer];
    admitted = std::make_shared<HttpConnection>(*this, loop.deadlines, std::move(socket), peer);
    admitted->entry = connections_.insert(connections_.end(), admitted.get());
  }
  if (evicted) evicted->Evict();
  admitted->Start();
  return 0;
}

std::shared_ptr<HttpConnection> HttpServer::Impl::TakeLongestWaiting() {
  for (bool looked = false;;) {
    while (!longestWaiting_.empty()) {
      Waiter waiter = std::move(longestWaiting_.back());
      longestWaiting_.pop_back();
      auto connection = waiter.connection.lock();
      // One whose request came meanwhile waits afresh, if at all, and is no longer among them.
      if (connection && connection->MarkEvicted(waiter.since)) return connection;
    }
    if (looked) return nullptr;
    looked = true;
    std::vector<std::pair<HttpConnection::SteadyClock::rep, HttpConnection*>> waiting;
    for (HttpConnection* c : connections_) {
      if (const auto since = c->WaitingSince(); since > 0) waiting.emplace_back(since, c);
    }
    // Only the longest few are kept, sorted with the longest last.
    const auto shorter = [](const auto& a, const auto& b) { return a.first > b.first; };
    const auto kept = waiting.end() - std::min(waiting.size(), kWaitersKept);
    std::nth_element(waiting.begin(), kept, waiting.end(), shorter);
    std::sort(kept, waiting.end(), shorter);
    for (auto w = kept; w != waiting.end(); ++w) {
      longestWaiting_.push_back({w->second->weak_from_this(), w->first});
    }
  }
}

void HttpServer::Impl::Leave(HttpConnection* connection, const net::ip::address& peer) {
  const std::lock_guard lock(mutex_);
  connections_.erase(connection->entry);
  const auto entry = perAddress_.find(peer);
  if (entry != perAddress_.end() && --entry->second == 0) perAddress_.erase(entry);
  if (connections_.empty()) drained_.notify_all();
}

// A refusal costs no connection: one try at sending it, and the socket is closed.
void HttpServer::Impl::RefuseAtOnce(Socket& socket, int status, std::string_view reason) {
  const Response response = MakeResponse(refusal(status, reason), Framing{false, true, false});
  beast::error_code ignored;
  socket.non_blocking(true, ignored);
  beast::http::write(socket, response, ignored);
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  char sink[4096];
  socket.read_some(net::buffer(sink), ignored);
  socket.close(ignored);
}

void HttpServer::Impl::StopAccepting() {
  std::vector<std::shared_ptr<HttpConnection>> waiting;
  {
    const std::lock_guard lock(mutex_);
    if (stopping_.exchange(true)) return;
    for (HttpConnection* c : connections_) {
      if (!c->MarkEvicted() && !c->Streaming()) continue;
      if (auto held = c->weak_from_this().lock()) waiting.push_back(std::move(held));
    }
  }
  for (const auto& loop : loops_) {
    net::post(loop->context, [&loop = *loop] {
      beast::error_code ignored;
      if (loop.acceptor) loop.acceptor->close(ignored);
      if (loop.acceptPause) loop.acceptPause->cancel();
    });
  }
  for (const auto& c : waiting) {
    if (c->Streaming()) {
      c->EndStream();
    } else {
      c->Evict();
    }
  }
}

void HttpServer::Impl::Stop() {
  StopAccepting();
  {
    std::unique_lock lock(mutex_);
    drained_.wait_for(lock, limits.write, [this] { return connections_.empty(); });
  }
  Halt();
}

void HttpServer::Impl::Halt() {
  stopping_ = true;
  work_.clear();
  for (const auto& loop : loops_) loop->context.stop();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

HttpServer::HttpServer(ServerLimits limits, Handler handler, Refusal refusal)
    : impl_(std::make_unique<Impl>(limits, std::move(handler), std::move(refusal))) {}

HttpServer::~HttpServer() = default;

std::expected<int, QString> HttpServer::Start(const std::string& host, int port) {
  int bound = 0;
  if (auto problem = impl_->Listen(host, port, bound)) return std::unexpected(*problem);
  return bound;
}

void HttpServer::StopAccepting() { impl_->StopAccepting(); }

void HttpServer::Stop() { impl_->Stop(); }

}  // namespace skyloom
