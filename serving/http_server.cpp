#include "serving/http_server.h"

// Boost.Beast rather than libmicrohttpd: libmicrohttpd's timeout restarts with every byte, so
// a client trickling its head keeps its connection, and it answers its own refusals (414,
// 431, 400, a full server) with fixed HTML or a bare close. Beast's parser refuses blanks
// before a colon, control bytes and conflicting lengths by itself, its streams carry a
// deadline for a whole operation, and every refusal stays ours to word. It is header-only,
// so nothing is added at run time.
#include <algorithm>
#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/open_files.h"
#include "serving/problem_log.h"

namespace skyloom {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using SteadyClock = std::chrono::steady_clock;
// Each connection lives on one loop run by one thread, so it needs no strand; and a concrete
// executor rather than Beast's type-erased default saves allocations on every operation.
using Executor = net::io_context::executor_type;
using Socket = tcp::socket::rebind_executor<Executor>::other;
using Stream = beast::basic_stream<tcp, Executor>;

namespace {

// How long a closing connection may still send what it had under way; see Linger.
constexpr std::chrono::milliseconds kLinger{1'000};
constexpr std::size_t kLingerBytes = 64 * 1024;
// Connections never take the descriptors the rest of the program needs: under any flood a
// fetch, the database and a hook can still open theirs.
constexpr std::size_t kDescriptorsKept = 64;
constexpr std::size_t kFewestConnections = 16;
// A server out of descriptors tries again after this rather than spinning.
constexpr std::chrono::milliseconds kAcceptPause{100};

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

const char* StatusText(int status) {
  static constexpr std::pair<int, const char*> kTexts[] = {{200, "OK"},
                                                           {204, "No Content"},
                                                           {304, "Not Modified"},
                                                           {400, "Bad Request"},
                                                           {404, "Not Found"},
                                                           {405, "Method Not Allowed"},
                                                           {414, "URI Too Long"},
                                                           {429, "Too Many Requests"},
                                                           {431, "Request Header Fields Too Large"},
                                                           {503, "Service Unavailable"}};
  for (const auto& [code, text] : kTexts) {
    if (code == status) return text;
  }
  return status < 500 ? "Bad Request" : "Internal Server Error";
}

struct Framing {
  bool head = false;         // no body, whatever the answer holds
  bool close = false;        // the connection ends after this answer
  bool keepAlive10 = false;  // an HTTP/1.0 client asked to keep it
};

std::string Serialize(const HttpAnswer& answer, Framing framing) {
  const bool bodyless = answer.status == 204 || answer.status == 304;
  std::string out;
  out.reserve(160 + answer.headers.size() + answer.body.size());
  out += "HTTP/1.1 ";
  out += std::to_string(answer.status);
  out += ' ';
  out += StatusText(answer.status);
  out += "\r\n";
  out += answer.headers;
  if (!bodyless) {
    if (*answer.contentType != '\0')
      out.append("Content-Type: ").append(answer.contentType) += "\r\n";
    out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
  }
  if (framing.close) {
    out += "Connection: close\r\n";
  } else if (framing.keepAlive10) {
    out += "Connection: keep-alive\r\n";
  }
  out += "\r\n";
  if (!bodyless && !framing.head) out += answer.body;
  return out;
}

bool Digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool OutOfDescriptors(const beast::error_code& error) {
  const int code = error.value();
  return error.category() == boost::system::system_category() &&
         (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM);
}

// The fields that decide where a request ends and whom it is for.
struct Framed {
  std::size_t hosts = 0;
  std::size_t lengths = 0;
  std::size_t encodings = 0;
  bool badLength = false;

  void Count(http::field name, std::string_view value) {
    if (name == http::field::host) ++hosts;
    if (name == http::field::transfer_encoding) ++encodings;
    if (name != http::field::content_length) return;
    ++lengths;
    badLength = badLength || !Digits(value);
  }
  // What makes the request's length uncertain, or its host unknown.
  const char* Problem(unsigned version, bool chunked) const {
    if (hosts > 1 || (hosts == 0 && version >= 11)) return "the request needs one Host";
    if (lengths > 1) return "the request has more than one Content-Length";
    if (badLength) return "the request has a bad Content-Length";
    if (encodings > 0 && !chunked) return "the request's body has no length";
    return nullptr;
  }
};

}  // namespace

class HttpServer::Impl {
 public:
  Impl(ServerLimits limits, Handler handler, Refusal refusal)
      : limits(limits), handler(std::move(handler)), refusal(std::move(refusal)) {
    for (int i = 0; i < std::max(1, limits.threads); ++i) {
      loops_.push_back(std::make_unique<net::io_context>(1));
    }
    acceptor_.emplace(*loops_.front());
    acceptPause_.emplace(*loops_.front());
  }
  ~Impl() { Halt(); }

  std::optional<QString> Listen(const std::string& host, int port, int& boundPort);
  void StopAccepting();
  void Stop();
  void Halt();

  // Starts serving a new connection; the status of its refusal, or 0.
  int Admit(Socket& socket, const net::ip::address& peer);
  void Leave(HttpConnection* connection, const net::ip::address& peer);
  bool Stopping() const { return stopping_; }

  const ServerLimits limits;
  const Handler handler;
  const Refusal refusal;

 private:
  void Run(net::io_context& loop);
  void Accept();
  void OnAccept(const beast::error_code& error, Socket socket);
  void RefuseAtOnce(Socket& socket, int status, std::string_view reason);

  std::mutex mutex_;
  std::condition_variable drained_;
  std::list<HttpConnection*> connections_;
  std::map<net::ip::address, std::size_t> perAddress_;
  std::atomic<bool> stopping_{false};
  std::size_t connectionCap_ = 0;
  // Declared last, so that connections it still holds go before what they leave from.
  std::vector<std::unique_ptr<net::io_context>> loops_;
  std::vector<net::executor_work_guard<Executor>> work_;
  // On the first loop, like everything the acceptor does.
  std::optional<tcp::acceptor> acceptor_;
  std::optional<net::steady_timer> acceptPause_;
  std::size_t nextLoop_ = 0;
  std::vector<std::thread> threads_;
};

// One client connection: reads a head within the deadline, hands it to the handler, writes
// the answer, and waits for the next. All of it runs on the thread of its loop.
class HttpConnection final : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(HttpServer::Impl& server, Socket socket, net::ip::address peer)
      : server_(server),
        stream_(std::move(socket)),
        peer_(std::move(peer)),
        buffer_(2 * HeadLimit()) {}
  ~HttpConnection() { server_.Leave(this, peer_); }

  void Start() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      beast::error_code ignored;
      self->stream_.socket().set_option(tcp::no_delay(true), ignored);
      self->stream_.socket().non_blocking(true, ignored);  // for the write in Send
      self->ReadHead();
    });
  }
  // Positive while waiting for a request: since when, for choosing whom to let go.
  SteadyClock::rep WaitingSince() const { return waitingSince_; }
  std::list<HttpConnection*>::iterator entry;

  // Chooses the connection to be closed, unless its request arrived meanwhile; once chosen
  // it is not chosen again, however long its closing takes.
  bool MarkEvicted(SteadyClock::rep since) {
    return since > 0 && waitingSince_.compare_exchange_strong(since, kEvicted);
  }
  bool MarkEvicted() { return MarkEvicted(waitingSince_); }
  void Evict() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      if (self->waitingSince_ == kEvicted) self->stream_.close();
    });
  }

  void Answer(HttpAnswer answer) {
    if (stream_.get_executor().running_in_this_thread()) return Send(answer);
    net::post(stream_.get_executor(),
              [self = shared_from_this(), answer = std::move(answer)] { self->Send(answer); });
  }

 private:
  std::size_t HeadLimit() const {
    // Beast's own bound only backs up the finer checks in OnHead.
    return server_.limits.requestLineBytes + server_.limits.headerBytes + 1024;
  }

  void ReadHead() {
    if (server_.Stopping()) return stream_.close();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(HeadLimit()));
    framing_ = Framing{};
    waitingSince_ = std::max<SteadyClock::rep>(1, SteadyClock::now().time_since_epoch().count());
    stream_.expires_after(server_.limits.head);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnHead(error); });
  }

  void OnHead(const beast::error_code& error) {
    if (waitingSince_.exchange(0) == kEvicted) return stream_.close();
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
      return Refuse(RequestLineTooLong() ? 414 : 431, "the request head is too large");
    }
    if (error == http::error::end_of_stream || error == http::error::partial_message) {
      return stream_.close();
    }
    if (error && error.category() == http::make_error_code(http::error::bad_field).category()) {
      return Refuse(400, "the request could not be read");
    }
    // Reset, evicted, or late: the stream closed itself at the deadline.
    if (error) return stream_.close();

    const auto& request = parser_->get();
    const std::size_t line = request.method_string().size() + request.target().size() + 10;
    std::size_t fieldBytes = 0;
    Framed framed;
    headers_.clear();
    for (const auto& field : request) {
      headers_.push_back({View(field.name_string()), View(field.value())});
      fieldBytes += field.name_string().size() + field.value().size() + 4;  // ": " and CRLF
      framed.Count(field.name(), View(field.value()));
    }
    if (line > server_.limits.requestLineBytes + 2) {
      return Refuse(414, "the request line is too long");
    }
    if (fieldBytes > server_.limits.headerBytes) {
      return Refuse(431, "the request headers are too large");
    }
    if (auto problem = framed.Problem(request.version(), parser_->chunked())) {
      return Refuse(400, problem);
    }

    framing_.head = request.method() == http::verb::head;
    // Bodies are never read, so a connection that carries one ends with its answer.
    framing_.close =
        !request.keep_alive() || framed.encodings > 0 || parser_->content_length().value_or(0) > 0;
    framing_.keepAlive10 = request.version() == 10 && !framing_.close;
    const std::string_view target = View(request.target());
    const std::size_t mark = target.find('?');
    const HttpRequest shown{
        View(request.method_string()), target.substr(0, mark),
        mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1), headers_};
    server_.handler(shown, HttpReply(shared_from_this()));
  }

  bool RequestLineTooLong() const {
    const auto data = buffer_.cdata();
    const std::string_view received(static_cast<const char*>(data.data()), data.size());
    const std::size_t end = received.find("\r\n");
    return (end == std::string_view::npos ? received.size() : end) >
           server_.limits.requestLineBytes;
  }

  void Refuse(int status, std::string_view reason) {
    framing_.close = true;
    Send(server_.refusal(status, reason));
  }

  void Send(const HttpAnswer& answer) {
    if (server_.Stopping()) framing_.close = true;
    out_ = Serialize(answer, framing_);
    // Most answers fit the socket's buffer at once; only the rest needs a deadline.
    beast::error_code error;
    const std::size_t sent = stream_.socket().write_some(net::buffer(out_), error);
    if (!error && sent == out_.size()) return Sent();
    if (error && error != net::error::would_block) return stream_.close();
    stream_.expires_after(server_.limits.write);
    net::async_write(stream_, net::buffer(out_) + sent,
                     [self = shared_from_this()](beast::error_code failed, std::size_t) {
                       if (failed) return self->stream_.close();
                       self->Sent();
                     });
  }

  void Sent() {
    if (framing_.close) return Linger();
    out_.clear();
    ReadHead();
  }

  // Closing while the client still sends makes the kernel reset the connection, which can
  // destroy the answer before the client has read it; so the answer goes first and what
  // follows is read and dropped for a moment.
  void Linger() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kLinger);
    out_.assign(4096, '\0');
    Drain(0);
  }
  void Drain(std::size_t drained) {
    stream_.async_read_some(net::buffer(out_), [self = shared_from_this(), drained](
                                                   beast::error_code error, std::size_t n) {
      if (error || drained + n >= kLingerBytes) return self->stream_.close();
      self->Drain(drained + n);
    });
  }

  HttpServer::Impl& server_;
  Stream stream_;
  const net::ip::address peer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::vector<HttpHeader> headers_;
  Framing framing_;
  std::string out_;
  static constexpr SteadyClock::rep kEvicted = -1;
  std::atomic<SteadyClock::rep> waitingSince_{0};
};

void HttpAnswer::AddHeader(std::string_view name, std::string_view value) {
  headers.append(name).append(": ").append(value).append("\r\n");
}

HttpReply::HttpReply(std::shared_ptr<HttpConnection> connection)
    : connection_(std::move(connection)) {}

void HttpReply::operator()(HttpAnswer answer) const { connection_->Answer(std::move(answer)); }

std::optional<QString> HttpServer::Impl::Listen(const std::string& host, int port, int& boundPort) {
  beast::error_code error;
  tcp::resolver resolver(*loops_.front());
  const auto found = resolver.resolve(
      host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, error);
  if (error) return QString::fromStdString(error.message());
  for (const auto& entry : found) {
    beast::error_code ignored;
    acceptor_->close(ignored);
    error = {};
    // SO_REUSEADDR only lets a restarted server past old connections; without
    // SO_REUSEPORT a second server on the address fails to bind.
    if (!acceptor_->open(entry.endpoint().protocol(), error) &&
        !acceptor_->set_option(tcp::acceptor::reuse_address(true), error) &&
        !acceptor_->bind(entry.endpoint(), error) &&
        !acceptor_->listen(net::socket_base::max_listen_connections, error)) {
      break;
    }
  }
  if (error) {
    beast::error_code ignored;
    acceptor_->close(ignored);
    return QString::fromStdString(error.message());
  }
  boundPort = acceptor_->local_endpoint(error).port();
  const std::size_t free = FreeDescriptors();
  connectionCap_ =
      std::min(limits.connections,
               std::max(kFewestConnections, free > kDescriptorsKept ? free - kDescriptorsKept : 0));
  if (connectionCap_ < limits.connections) {
    ReportProblem(QStringLiteral("the API takes at most %1 connections: the open-file limit allows "
                                 "no more")
                      .arg(connectionCap_));
  }
  for (const auto& loop : loops_) work_.push_back(net::make_work_guard(*loop));
  Accept();
  try {
    for (const auto& loop : loops_) threads_.emplace_back([this, &loop = *loop] { Run(loop); });
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

void HttpServer::Impl::Accept() {
  // Connections take turns over the loops.
  net::io_context& loop = *loops_[nextLoop_++ % loops_.size()];
  acceptor_->async_accept(loop.get_executor(), [this](beast::error_code error, Socket socket) {
    OnAccept(error, std::move(socket));
  });
}

void HttpServer::Impl::OnAccept(const beast::error_code& error, Socket socket) {
  if (error == net::error::operation_aborted || !acceptor_->is_open()) return;
  if (error) {
    ReportProblem(QStringLiteral("the API could not take a connection: %1")
                      .arg(QString::fromStdString(error.message())));
    if (!OutOfDescriptors(error)) return Accept();
    acceptPause_->expires_after(kAcceptPause);
    acceptPause_->async_wait([this](beast::error_code waited) {
      if (!waited) Accept();
    });
    return;
  }
  beast::error_code peerError;
  const net::ip::address peer = socket.remote_endpoint(peerError).address();
  if (!peerError) {
    if (const int refused = Admit(socket, peer)) {
      RefuseAtOnce(socket, refused,
                   refused == 429 ? "too many connections from this address"
                                  : "the server has all the connections it can take");
    }
  }
  Accept();
}

int HttpServer::Impl::Admit(Socket& socket, const net::ip::address& peer) {
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
      for (;;) {
        HttpConnection* oldest = nullptr;
        SteadyClock::rep longest = 0;
        for (HttpConnection* c : connections_) {
          const SteadyClock::rep since = c->WaitingSince();
          if (since <= 0 || (oldest && since >= longest)) continue;
          oldest = c;
          longest = since;
        }
        if (!oldest) return 503;
        if (!oldest->MarkEvicted(longest)) continue;  // its request came meanwhile
        evicted = oldest->weak_from_this().lock();
        break;
      }
    }
    ++perAddress_[peer];
    admitted = std::make_shared<HttpConnection>(*this, std::move(socket), peer);
    admitted->entry = connections_.insert(connections_.end(), admitted.get());
  }
  if (evicted) evicted->Evict();
  admitted->Start();
  return 0;
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
  const std::string bytes = Serialize(refusal(status, reason), Framing{false, true, false});
  beast::error_code ignored;
  socket.non_blocking(true, ignored);
  socket.write_some(net::buffer(bytes), ignored);
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
      if (!c->MarkEvicted()) continue;
      if (auto held = c->weak_from_this().lock()) waiting.push_back(std::move(held));
    }
  }
  net::post(acceptor_->get_executor(), [this] {
    beast::error_code ignored;
    acceptor_->close(ignored);
    acceptPause_->cancel();
  });
  for (const auto& c : waiting) c->Evict();
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
  for (const auto& loop : loops_) loop->stop();
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
