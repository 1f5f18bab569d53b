#include "platform/plain_http_get.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QUrl>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cerrno>
#include <limits>
#include <memory>
#include <utility>
#include <variant>

#include "platform/curl_easy.h"
#include "platform/name_lookup.h"

namespace skyloom {
namespace {

namespace http = boost::beast::http;
using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a wait looks at the stop flag: libcurl's progress callback comes about as often.
constexpr milliseconds kCancelCheck{100};
// libcurl's limit on one header line, which a page within limits never reaches.
constexpr std::uint32_t kHeaderLimit = 100 * 1024;

struct Target {
  QByteArray host;
  quint16 port = 80;
  QByteArray hostHeader;
  QByteArray path;
};

// An address QUrl writes otherwise goes to libcurl, which asks for it as written: QUrl decodes
// escapes such as %7E, and the request must name the page exactly as given. The same rule
// keeps blanks and line breaks out of the request.
std::optional<Target> ParseTarget(const QByteArray& address) {
  const QUrl url = QUrl::fromEncoded(address);
  const QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
  // libcurl resolves "." and ".." segments before asking; it keeps doing so for such paths.
  const QStringList segments = url.path(QUrl::FullyEncoded).split(u'/');
  if (!url.isValid() || url.toEncoded() != address || url.scheme() != u"http" || host.isEmpty() ||
      host.contains(':') || !url.userInfo().isNull() || url.port() == 0 ||
      segments.contains(u"."_s) || segments.contains(u".."_s)) {
    return std::nullopt;
  }
  Target target{host, static_cast<quint16>(url.port(80)), host,
                url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment)};
  if (target.port != 80) target.hostHeader += ':' + QByteArray::number(target.port);
  if (!target.path.startsWith('/')) target.path.prepend('/');
  return target;
}

bool ProxyInEnvironment() {
  // The variables libcurl reads for an http address; it also applies no_proxy to them.
  for (const char* name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
    if (!qEnvironmentVariableIsEmpty(name)) return true;
  }
  return false;
}

qint64 MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

struct Failure {
  CURLcode code;
  QString detail;
};

class Socket final {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

enum class Waited { Ready, TimedOut, Cancelled };

// Waits for `events` on the socket in short slices, so that a raised stop flag is seen.
Waited WaitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* cancel) {
  for (;;) {
    if (cancel && cancel->load()) return Waited::Cancelled;
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    if (left <= milliseconds::zero()) return Waited::TimedOut;
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, kCancelCheck).count()));
    if (ready > 0) return Waited::Ready;
    if (ready < 0 && errno != EINTR) return Waited::Ready;  // the call after it reports why
  }
}

class Exchange final {
 public:
  Exchange(const HttpLimits& limits, Clock::time_point deadline, const std::atomic<bool>* cancel)
      : limits_(limits), start_(Clock::now()), deadline_(deadline), cancel_(cancel) {}

  std::variant<Socket, Failure> Connect(const Target& target) {
    const auto start = Clock::now();
    const auto bound = std::min(deadline_, start + limits_.connect);
    const std::shared_ptr<NameLookup> lookup = StartNameLookup(target.host, target.port);
    {
      std::unique_lock lock(lookup->mutex);
      while (!lookup->done) {
        if (cancel_ && cancel_->load()) return Cancelled();
        if (Clock::now() >= bound) {
          return Failure{CURLE_OPERATION_TIMEDOUT,
                         QStringLiteral("Resolving timed out after %1 milliseconds")
                             .arg(MillisecondsSince(start))};
        }
        lookup->finished.wait_for(lock, kCancelCheck);
      }
    }
    if (lookup->error != 0 || !lookup->addresses) {
      return Failure{
          CURLE_COULDNT_RESOLVE_HOST,
          QStringLiteral("Could not resolve host: %1").arg(QString::fromLatin1(target.host))};
    }
    bool timedOut = false;
    for (const addrinfo* a = lookup->addresses; a && !timedOut; a = a->ai_next) {
      Socket socket(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      if (socket.fd() < 0) continue;
      if (::connect(socket.fd(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) continue;
      switch (WaitFor(socket.fd(), POLLOUT, bound, cancel_)) {
        case Waited::Cancelled:
          return Cancelled();
        case Waited::TimedOut:
          timedOut = true;
          continue;
        case Waited::Ready:
          break;
      }
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        continue;
      }
      const int on = 1;
      ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return socket;
    }
    const QString where = QStringLiteral("Failed to connect to %1 port %2 after %3 ms: ")
                              .arg(QString::fromLatin1(target.host))
                              .arg(target.port)
                              .arg(MillisecondsSince(start));
    if (timedOut) {
      return Failure{CURLE_OPERATION_TIMEDOUT, where + PlainCodeText(CURLE_OPERATION_TIMEDOUT)};
    }
    return Failure{CURLE_COULDNT_CONNECT, where + PlainCodeText(CURLE_COULDNT_CONNECT)};
  }

  std::optional<Failure> Send(const Socket& socket, const QByteArray& request) {
    qsizetype sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(socket.fd(), request.constData() + sent,
                               static_cast<size_t>(request.size() - sent), MSG_NOSIGNAL);
      if (n > 0) {
        sent += n;
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return Failure{CURLE_SEND_ERROR,
                       QStringLiteral("Send failure: %1").arg(qt_error_string(errno))};
      }
      if (auto stop = Stopped(WaitFor(socket.fd(), POLLOUT, deadline_, cancel_))) return stop;
    }
    return std::nullopt;
  }

  // Reads one final response: interim 1xx answers are passed over.
  std::variant<http::response<http::string_body>, Failure> Receive(const Socket& socket) {
    std::optional<http::response_parser<http::string_body>> parser;
    const auto restart = [&] {
      parser.emplace();
      parser->eager(true);
      parser->header_limit(kHeaderLimit);
      // Boost 1.74 applies its limit to chunked bodies only; the limit is enforced below.
      parser->body_limit(std::numeric_limits<std::uint64_t>::max());
    };
    restart();
    std::string pending;
    char chunk[64 * 1024];
    bool any = false;
    for (;;) {
      while (!pending.empty()) {
        boost::beast::error_code ec;
        const size_t used = parser->put(boost::asio::buffer(pending), ec);
        pending.erase(0, used);
        if (ec && ec != http::error::need_more) return ParseFailure(*parser, ec);
        if (auto over = OverLimit(*parser)) return *over;
        if (ec) break;  // needs more bytes
        if (parser->is_done()) {
          const unsigned status = parser->get().result_int();
          if (status < 100 || status >= 200 || status == 101) return parser->release();
          restart();
        } else if (used == 0) {
          break;
        }
      }
      // A server that never pauses must still meet the deadline and the stop flag.
      if (auto stop = Stopped(Due(), &*parser)) return *stop;
      const ssize_t n = ::recv(socket.fd(), chunk, sizeof chunk, 0);
      if (n > 0) {
        any = true;
        pending.append(chunk, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) return AtClose(*parser, any);
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (auto stop = Stopped(WaitFor(socket.fd(), POLLIN, deadline_, cancel_), &*parser)) {
          return *stop;
        }
        continue;
      }
      return Failure{CURLE_RECV_ERROR,
                     QStringLiteral("Recv failure: %1").arg(qt_error_string(errno))};
    }
  }

  bool overflowed = false;

 private:
  Waited Due() const {
    if (cancel_ && cancel_->load()) return Waited::Cancelled;
    return Clock::now() >= deadline_ ? Waited::TimedOut : Waited::Ready;
  }

  static Failure Cancelled() {
    return Failure{CURLE_ABORTED_BY_CALLBACK, QStringLiteral("Callback aborted")};
  }

  std::optional<Failure> Stopped(Waited waited,
                                 const http::response_parser<http::string_body>* parser = nullptr) {
    if (waited == Waited::Cancelled) return Cancelled();
    if (waited == Waited::Ready) return std::nullopt;
    const qint64 received = parser ? static_cast<qint64>(parser->get().body().size()) : 0;
    QString detail = QStringLiteral("Operation timed out after %1 milliseconds with %2")
                         .arg(MillisecondsSince(start_))
                         .arg(received);
    if (parser && parser->is_header_done() && parser->content_length()) {
      detail += QStringLiteral(" out of %1").arg(*parser->content_length());
    }
    return Failure{CURLE_OPERATION_TIMEDOUT, detail + QStringLiteral(" bytes received")};
  }

  // A declared length over the limit is refused before its body arrives, as libcurl does;
  // any other body when it grows past the limit.
  std::optional<Failure> OverLimit(const http::response_parser<http::string_body>& parser) {
    const auto limit = static_cast<std::uint64_t>(limits_.maxBody);
    if (!parser.is_header_done()) return std::nullopt;
    if (const auto declared = parser.content_length(); declared && *declared > limit) {
      overflowed = true;
      return Failure{CURLE_FILESIZE_EXCEEDED, {}};
    }
    if (parser.get().body().size() > limit) {
      overflowed = true;
      return Failure{CURLE_WRITE_ERROR, {}};
    }
    return std::nullopt;
  }

  Failure ParseFailure(const http::response_parser<http::string_body>& parser,
                       boost::beast::error_code ec) {
    const QString why = QString::fromStdString(ec.message());
    if (!parser.is_header_done()) return Failure{CURLE_WEIRD_SERVER_REPLY, why};
    return Failure{CURLE_RECV_ERROR, why};
  }

  std::variant<http::response<http::string_body>, Failure> AtClose(
      http::response_parser<http::string_body>& parser, bool any) {
    if (!any) return Failure{CURLE_GOT_NOTHING, QStringLiteral("Empty reply from server")};
    boost::beast::error_code ec;
    parser.put_eof(ec);
    if (!ec && parser.is_done()) return parser.release();
    if (!parser.is_header_done())
      return Failure{CURLE_WEIRD_SERVER_REPLY, QString::fromStdString(ec.message())};
    if (const auto declared = parser.content_length()) {
      const auto received = static_cast<qint64>(parser.get().body().size());
      return Failure{CURLE_PARTIAL_FILE,
                     QStringLiteral("transfer closed with %1 bytes remaining to read")
                         .arg(static_cast<qint64>(*declared) - received)};
    }
    return Failure{CURLE_PARTIAL_FILE,
                   QStringLiteral("transfer closed with outstanding read data remaining")};
  }

  const HttpLimits& limits_;
  const Clock::time_point start_;
  const Clock::time_point deadline_;
  const std::atomic<bool>* const cancel_;
};

bool IsRedirect(unsigned status) {
  return status >= 300 && status < 400 && status != 304 && status != 305 && status != 306;
}

}  // namespace

bool PlainHttpFetches(const QByteArray& address) {
  return ParseTarget(address).has_value() && !ProxyInEnvironment();
}

PlainGetOutcome PlainHttpGet(const QByteArray& address, const HttpLimits& limits,
                             Clock::time_point deadline, int redirects,
                             const std::atomic<bool>* cancel) {
  PlainGetOutcome outcome;
  const auto fail = [&outcome](Failure failure) {
    outcome.code = failure.code;
    outcome.detail = failure.detail;
    outcome.body.clear();
    return outcome;
  };
  Exchange exchange(limits, deadline, cancel);
  const int allowed = redirects;
  QByteArray current = address;
  for (;;) {
    const std::optional<Target> target = ParseTarget(current);
    if (!target) {
      const QByteArray scheme = QUrl::fromEncoded(current).scheme().toLatin1();
      if (scheme == "http" || scheme == "https") {
        outcome.handOver = current;
        outcome.redirectsLeft = redirects;
        return outcome;
      }
      return fail({CURLE_UNSUPPORTED_PROTOCOL,
                   QStringLiteral("Protocol \"%1\" not supported or disabled in libcurl")
                       .arg(QString::fromLatin1(scheme))});
    }
    auto connected = exchange.Connect(*target);
    if (auto* failure = std::get_if<Failure>(&connected)) return fail(*failure);
    const Socket socket = std::move(std::get<Socket>(connected));

    const QByteArray request = "GET " + target->path + " HTTP/1.1\r\nHost: " + target->hostHeader +
                               "\r\nUser-Agent: " + UserAgent() + "\r\nAccept: */*\r\n\r\n";
    if (auto failure = exchange.Send(socket, request)) return fail(*failure);
    auto received = exchange.Receive(socket);
    if (auto* failure = std::get_if<Failure>(&received)) {
      outcome.overflowed = exchange.overflowed;
      return fail(*failure);
    }
    auto& response = std::get<http::response<http::string_body>>(received);
    outcome.status = static_cast<int>(response.result_int());
    const auto location = response.find(http::field::location);
    if (!IsRedirect(response.result_int()) || location == response.end()) {
      outcome.body = QByteArray::fromStdString(response.body());
      return outcome;
    }
    if (redirects == 0) {
      return fail({CURLE_TOO_MANY_REDIRECTS,
                   QStringLiteral("Maximum (%1) redirects followed").arg(allowed)});
    }
    --redirects;
    const QByteArray next(location->value().data(),
                          static_cast<qsizetype>(location->value().size()));
    current = QUrl::fromEncoded(current).resolved(QUrl::fromEncoded(next.trimmed())).toEncoded();
  }
}

QString PlainCodeText(CURLcode code) {
  // libcurl 7.88's words, so that a log reads the same whichever client fetched.
  switch (code) {
    case CURLE_OK:
      return QStringLiteral("No error");
    case CURLE_UNSUPPORTED_PROTOCOL:
      return QStringLiteral("Unsupported protocol");
    case CURLE_FAILED_INIT:
      return QStringLiteral("Failed initialization");
    case CURLE_COULDNT_RESOLVE_HOST:
      return QStringLiteral("Couldn't resolve host name");
    case CURLE_COULDNT_CONNECT:
      return QStringLiteral("Couldn't connect to server");
    case CURLE_WEIRD_SERVER_REPLY:
      return QStringLiteral("Weird server reply");
    case CURLE_PARTIAL_FILE:
      return QStringLiteral("Transferred a partial file");
    case CURLE_WRITE_ERROR:
      return QStringLiteral("Failed writing received data to disk/application");
    case CURLE_OPERATION_TIMEDOUT:
      return QStringLiteral("Timeout was reached");
    case CURLE_ABORTED_BY_CALLBACK:
      return QStringLiteral("Operation was aborted by an application callback");
    case CURLE_TOO_MANY_REDIRECTS:
      return QStringLiteral("Number of redirects hit maximum amount");
    case CURLE_GOT_NOTHING:
      return QStringLiteral("Server returned nothing (no headers, no data)");
    case CURLE_SEND_ERROR:
      return QStringLiteral("Failed sending data to the peer");
    case CURLE_RECV_ERROR:
      return QStringLiteral("Failure when receiving data from the peer");
    case CURLE_FILESIZE_EXCEEDED:
      return QStringLiteral("Maximum file size exceeded");
    default:
      return QStringLiteral("Unknown error");
  }
}

}  // namespace skyloom
