#pragma once

#include <atomic>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/http_framing.h"
#include "http/http_server_impl.h"

namespace skyloom {

// One client connection: reads a head within the deadline, hands it to the handler, writes
// the answer, and waits for the next. All of it runs on the thread of its loop.
class HttpConnection final : public std::enable_shared_from_this<HttpConnection> {
 public:
  using SteadyClock = std::chrono::steady_clock;

  HttpConnection(HttpServer::Impl& server, Socket socket, net::ip::address peer);
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
  void Answer(HttpAnswer answer);

  std::list<HttpConnection*>::iterator entry;  // in the server's count

 private:
  static constexpr SteadyClock::rep kEvicted = -1;

  std::size_t HeadLimit() const;
  void ReadHead();
  void OnHead(const beast::error_code& error);
  bool RequestLineTooLong() const;
  void Refuse(int status, std::string_view reason);
  void Send(const HttpAnswer& answer);
  void Sent();
  void Linger();
  void Drain(std::size_t drained);

  HttpServer::Impl& server_;
  Stream stream_;
  const net::ip::address peer_;
  beast::flat_buffer buffer_;
  std::optional<beast::http::request_parser<beast::http::empty_body>> parser_;
  std::vector<HttpHeader> headers_;
  Framing framing_;
  std::string out_;
  std::atomic<SteadyClock::rep> waitingSince_{0};
};

}  // namespace skyloom
