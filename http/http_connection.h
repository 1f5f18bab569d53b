#pragma once

#include <atomic>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/head_deadlines.h"
#include "http/http_framing.h"
#include "http/http_server_impl.h"

namespace skyloom {

// One client connection: reads a head within the deadline, hands it to the handler, writes
// the answer, and waits for the next. All of it runs on the thread of its loop.
class HttpConnection final : public std::enable_shared_from_this<HttpConnection>,
                             public HeadWaiter {
 public:
  using SteadyClock = std::chrono::steady_clock;

  HttpConnection(HttpServer::Impl& server, HeadDeadlines& deadlines, Socket socket,
                 net::ip::address peer);
  // Leaves the server's count.
  ~HttpConnection();

  void Start();
  // Positive while waiting for a request: since when, for choosing whom to let go.
  SteadyClock::rep WaitingSince() const { return waitingSince_; }
  // Chooses the connection to be closed, unless its request arrived meanwhile; once chosen
  // it is not chosen again, however long its closing takes.
  bool MarkEvicted(SteadyClock::rep since);
  bool MarkEvicted() { return MarkEvicted(waitingSince_); }
  // Closes it, if chosen.
  void Evict();
  void Answer(ServerAnswer answer);
  // The streamed answer: see HttpReply::Stream.
  void Open(ServerAnswer head, StreamLimits limits, std::function<void()> ended);
  void Push(std::string piece);
  void EndStream();
  void Later(std::chrono::milliseconds delay, std::function<void()> then);
  bool Streaming() const { return streaming_; }

  std::list<HttpConnection*>::iterator entry;  // in the server's count

  void HeadLate() override;

 private:
  static constexpr SteadyClock::rep kEvicted = -1;

  std::size_t HeadLimit() const;
  void ReadHead();
  void OnHead(const beast::error_code& error);
  bool RequestLineTooLong() const;
  void Refuse(int status, std::string_view reason);
  void Send(ServerAnswer answer);
  void Sent();
  void Linger();
  void Drain(std::size_t drained);
  void OpenHere(ServerAnswer head);
  void Queue(std::string piece);
  void Flush();
  void WatchClose();
  // Room for what is read only to be dropped: the head's buffer, free by then, so that an
  // idle connection holds no more than it needs for its next head.
  net::mutable_buffer Sink();
  void Idle();
  void Finish();

  HttpServer::Impl& server_;
  HeadDeadlines& deadlines_;
  Stream stream_;
  const net::ip::address peer_;
  beast::flat_buffer buffer_;
  std::optional<beast::http::request_parser<beast::http::empty_body>> parser_;
  std::vector<HttpHeader> headers_;
  Framing framing_;
  // The answer being written; the serializer keeps how far it got.
  std::optional<Response> response_;
  std::optional<beast::http::response_serializer<beast::http::string_body>> serializer_;
  // A streamed answer: what waits to be written, and what is being written.
  std::atomic<bool> streaming_{false};
  bool streamEnded_ = false;
  bool writing_ = false;
  StreamLimits streamLimits_;
  std::function<void()> ended_;
  std::string queued_;
  std::string inFlight_;
  // The stream's idle text, or the wait of an answer that waits.
  std::optional<net::steady_timer> timer_;
  std::atomic<SteadyClock::rep> waitingSince_{0};
};

}  // namespace skyloom
