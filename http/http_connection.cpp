#include "http/http_connection.h"

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

namespace skyloom {
namespace {

namespace http = beast::http;

// How long a closing connection may still send what it had under way; see Linger.
constexpr std::chrono::milliseconds kLinger{1'000};
constexpr std::size_t kLingerBytes = 64 * 1024;

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

}  // namespace

HttpConnection::HttpConnection(HttpServer::Impl& server, HeadDeadlines& deadlines, Socket socket,
                               net::ip::address peer)
    : server_(server),
      deadlines_(deadlines),
      stream_(std::move(socket)),
      peer_(std::move(peer)),
      buffer_(2 * HeadLimit()) {}

HttpConnection::~HttpConnection() { server_.Leave(this, peer_); }

void HttpConnection::Start() {
  net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
    beast::error_code ignored;
    self->stream_.socket().set_option(tcp::no_delay(true), ignored);
    self->stream_.socket().non_blocking(true, ignored);  // for the write in Send
    self->ReadHead();
  });
}

bool HttpConnection::MarkEvicted(SteadyClock::rep since) {
  return since > 0 && waitingSince_.compare_exchange_strong(since, kEvicted);
}

void HttpConnection::Evict() {
  net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
    if (self->waitingSince_ == kEvicted) self->stream_.close();
  });
}

void HttpConnection::Answer(ServerAnswer answer) {
  if (stream_.get_executor().running_in_this_thread()) return Send(std::move(answer));
  net::post(stream_.get_executor(),
            [self = shared_from_this(), answer = std::move(answer)]() mutable {
              self->Send(std::move(answer));
            });
}

void HttpConnection::Open(ServerAnswer head, StreamLimits limits, std::function<void()> ended) {
  streamLimits_ = std::move(limits);
  ended_ = std::move(ended);
  streaming_ = true;
  net::dispatch(stream_.get_executor(),
                [self = shared_from_this(), head = std::move(head)]() mutable {
                  self->OpenHere(std::move(head));
                });
}

void HttpConnection::Push(std::string piece) {
  net::post(stream_.get_executor(),
            [self = shared_from_this(), piece = std::move(piece)]() mutable {
              self->Queue(std::move(piece));
            });
}

void HttpConnection::EndStream() {
  net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->Finish(); });
}

void HttpConnection::Later(std::chrono::milliseconds delay, std::function<void()> then) {
  net::dispatch(stream_.get_executor(), [self = shared_from_this(), delay, then = std::move(then)] {
    self->timer_.emplace(self->stream_.get_executor());
    self->timer_->expires_after(delay);
    self->timer_->async_wait([self, then](beast::error_code error) {
      if (!error) then();
    });
  });
}

std::size_t HttpConnection::HeadLimit() const {
  // Beast's own bound only backs up the finer checks in OnHead.
  return server_.limits.requestLineBytes + server_.limits.headerBytes + 1024;
}

void HttpConnection::ReadHead() {
  if (server_.Stopping()) return stream_.close();
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(HeadLimit()));
  framing_ = Framing{};
  waitingSince_ = std::max<SteadyClock::rep>(1, SteadyClock::now().time_since_epoch().count());
  stream_.expires_never();
  deadlines_.Wait(*this);
  http::async_read_header(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnHead(error); });
}

void HttpConnection::HeadLate() { stream_.close(); }

void HttpConnection::OnHead(const beast::error_code& error) {
  HeadDeadlines::Done(*this);
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
  // Reset, evicted, or closed at its deadline.
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
  framing_.chunked = request.version() >= 11;
  const std::string_view target = View(request.target());
  const std::size_t mark = target.find('?');
  const HttpRequest shown{
      View(request.method_string()), target.substr(0, mark),
      mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1), headers_};
  server_.handler(shown, HttpReply(shared_from_this()));
}

bool HttpConnection::RequestLineTooLong() const {
  const auto data = buffer_.cdata();
  const std::string_view received(static_cast<const char*>(data.data()), data.size());
  const std::size_t end = received.find("\r\n");
  return (end == std::string_view::npos ? received.size() : end) > server_.limits.requestLineBytes;
}

void HttpConnection::Refuse(int status, std::string_view reason) {
  framing_.close = true;
  Send(server_.refusal(status, reason));
}

void HttpConnection::Send(ServerAnswer answer) {
  if (timer_) timer_->cancel();  // an answer that waited no longer needs its wait
  if (server_.Stopping()) framing_.close = true;
  response_.emplace(MakeResponse(std::move(answer), framing_));
  serializer_.emplace(*response_);
  // Most answers fit the socket's buffer at once; only the rest needs a deadline.
  beast::error_code error;
  http::write(stream_.socket(), *serializer_, error);
  if (!error) return Sent();
  if (error != net::error::would_block) return stream_.close();
  stream_.expires_after(server_.limits.write);
  http::async_write(stream_, *serializer_,
                    [self = shared_from_this()](beast::error_code failed, std::size_t) {
                      if (failed) return self->stream_.close();
                      self->Sent();
                    });
}

void HttpConnection::OpenHere(ServerAnswer head) {
  if (server_.Stopping()) return Finish();
  framing_.stream = true;
  // The kernel holds little of a stream: what a slow client leaves unread counts here.
  beast::error_code ignored;
  stream_.socket().set_option(net::socket_base::send_buffer_size(16 * 1024), ignored);
  response_.emplace(MakeResponse(std::move(head), framing_));
  serializer_.emplace(*response_);
  writing_ = true;
  stream_.expires_never();
  http::async_write_header(stream_, *serializer_,
                           [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->writing_ = false;
                             self->serializer_.reset();
                             self->response_.reset();
                             if (error) return self->Finish();
                             self->Flush();
                             self->WatchClose();
                             self->Idle();
                           });
}

void HttpConnection::Queue(std::string piece) {
  if (streamEnded_ || piece.empty()) return;
  queued_ += piece;
  if (queued_.size() + inFlight_.size() > streamLimits_.unsentBytes) return Finish();
  Flush();
}

void HttpConnection::Flush() {
  if (writing_ || streamEnded_ || queued_.empty()) return;
  inFlight_.swap(queued_);
  queued_.clear();
  writing_ = true;
  const auto written = [self = shared_from_this()](beast::error_code error, std::size_t) {
    self->writing_ = false;
    self->inFlight_.clear();
    if (error) return self->Finish();
    self->Flush();
  };
  if (framing_.chunked) {
    net::async_write(stream_, http::make_chunk(net::buffer(inFlight_)), written);
  } else {
    net::async_write(stream_, net::buffer(inFlight_), written);
  }
}

net::mutable_buffer HttpConnection::Sink() {
  buffer_.clear();
  return buffer_.prepare(std::min<std::size_t>(4096, buffer_.max_size()));
}

// A stream's client sends nothing more; a read that ends means it has gone.
void HttpConnection::WatchClose() {
  stream_.async_read_some(Sink(),
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                            if (error) return self->Finish();
                            self->WatchClose();
                          });
}

void HttpConnection::Idle() {
  if (streamLimits_.idleText.empty()) return;
  timer_.emplace(stream_.get_executor());
  timer_->expires_after(streamLimits_.idleEvery);
  timer_->async_wait([self = shared_from_this()](beast::error_code error) {
    if (error || self->streamEnded_) return;
    self->Queue(self->streamLimits_.idleText);
    self->Idle();
  });
}

void HttpConnection::Finish() {
  if (std::exchange(streamEnded_, true)) return;
  streaming_ = false;
  if (timer_) timer_->cancel();
  // The last chunk is a courtesy to a client still reading; it never waits.
  beast::error_code ignored;
  if (framing_.stream && framing_.chunked && !writing_) {
    net::write(stream_.socket(), http::make_chunk_last(), ignored);
  }
  stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream_.close();
  if (const auto ended = std::exchange(ended_, nullptr)) ended();
}

void HttpConnection::Sent() {
  serializer_.reset();
  response_.reset();
  if (framing_.close) return Linger();
  ReadHead();
}

// Closing while the client still sends makes the kernel reset the connection, which can
// destroy the answer before the client has read it; so the answer goes first and what
// follows is read and dropped for a moment.
void HttpConnection::Linger() {
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.expires_after(kLinger);
  Drain(0);
}

void HttpConnection::Drain(std::size_t drained) {
  stream_.async_read_some(
      Sink(), [self = shared_from_this(), drained](beast::error_code error, std::size_t n) {
        if (error || drained + n >= kLingerBytes) return self->stream_.close();
        self->Drain(drained + n);
      });
}

}  // namespace skyloom
