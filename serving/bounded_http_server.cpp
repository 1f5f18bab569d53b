#include "serving/bounded_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace skyloom {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Past this a response buffer is given back rather than kept for the next request.
constexpr std::size_t kKeptOutputBytes = 64 * 1024;
// How long a closing connection may still send what it had under way; see Close.
constexpr std::chrono::milliseconds kLinger{1'000};
constexpr std::size_t kLingerBytes = 64 * 1024;

bool Retry(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Waits until `fd` is ready for `events`; false at the deadline or once the server stops.
bool WaitFor(int fd, short events, int stopEvent, SteadyClock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{fd, events, 0}, {stopEvent, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    if (ready < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) return false;
    // An error or a hang-up counts as ready: the read or write that follows reports it.
    if (ready > 0 && fds[0].revents != 0) return true;
  }
}

void Address(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length)) != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    port = ntohs(in->sin6_port);
  }
  ip = text;
}

// One client connection. Reads are buffered and bounded by the current request's deadline
// and byte budget. Writes are gathered and sent after each response, so the head and the
// body of an answer leave together.
class ClientStream final : public httplib::Stream {
 public:
  ClientStream(int fd, int stopEvent) : fd_(fd), stopEvent_(stopEvent) {
    Address(fd_, /*peer=*/true, remoteIp_, remotePort_);
    Address(fd_, /*peer=*/false, localIp_, localPort_);
  }

  // True when a request has begun to arrive within the deadline.
  bool WaitForRequest(SteadyClock::time_point deadline) const {
    return begin_ < end_ || WaitFor(fd_, POLLIN, stopEvent_, deadline);
  }
  void BeginRequest(SteadyClock::time_point deadline, std::size_t budget) {
    readDeadline_ = deadline;
    budget_ = budget;
  }
  bool Flush(SteadyClock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < out_.size()) {
      const ssize_t n =
          ::send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && Retry(errno)) {
        if (!WaitFor(fd_, POLLOUT, stopEvent_, deadline)) return false;
      } else {
        return false;
      }
    }
    if (out_.capacity() > kKeptOutputBytes) {
      std::string().swap(out_);
    } else {
      out_.clear();
    }
    return true;
  }

  bool is_readable() const override {
    return begin_ < end_ || WaitFor(fd_, POLLIN, stopEvent_, readDeadline_);
  }
  bool is_writable() const override { return true; }

  ssize_t read(char* ptr, size_t size) override {
    if (budget_ == 0) return -1;
    // Receiving first saves a poll when the request is already there, as it mostly is.
    while (begin_ == end_) {
      const ssize_t n = ::recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
      if (n > 0) {
        begin_ = 0;
        end_ = static_cast<std::size_t>(n);
      } else if (n == 0 || !Retry(errno)) {
        return n;
      } else if (!WaitFor(fd_, POLLIN, stopEvent_, readDeadline_)) {
        return -1;
      }
    }
    const std::size_t n = std::min({size, end_ - begin_, budget_});
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    budget_ -= n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    out_.append(ptr, size);
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = remoteIp_;
    port = remotePort_;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = localIp_;
    port = localPort_;
  }
  socket_t socket() const override { return fd_; }

 private:
  int fd_;
  int stopEvent_;
  SteadyClock::time_point readDeadline_;
  std::size_t budget_ = 0;
  char buffer_[16 * 1024];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::string out_;
  std::string remoteIp_;
  int remotePort_ = 0;
  std::string localIp_;
  int localPort_ = 0;
};

// Closing while the client still sends makes the kernel reset the connection, which can
// destroy the answer before the client has read it; so the answer goes first and what
// follows is read and dropped for a moment.
void Close(int fd, bool linger, int stopEvent) {
  if (linger && ::shutdown(fd, SHUT_WR) == 0) {
    const SteadyClock::time_point deadline = SteadyClock::now() + kLinger;
    char sink[4096];
    std::size_t drained = 0;
    while (drained < kLingerBytes && WaitFor(fd, POLLIN, stopEvent, deadline)) {
      const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && !Retry(errno))) break;
      if (n > 0) drained += static_cast<std::size_t>(n);
    }
  }
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

// Bodies are never read: every answer is made before routing would read one.
bool CarriesBody(const httplib::Request& request) {
  return request.has_header("Transfer-Encoding") ||
         (request.has_header("Content-Length") &&
          request.get_header_value("Content-Length") != "0");
}

}  // namespace

BoundedHttpServer::BoundedHttpServer(ConnectionLimits limits)
    : limits_(limits), stopEvent_(::eventfd(0, EFD_CLOEXEC)) {
  const std::size_t workers = limits_.workers;
  new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  const auto seconds = [](std::chrono::milliseconds time) {
    return std::max<time_t>(1, std::chrono::duration_cast<std::chrono::seconds>(time).count());
  };
  // Only advertised in Keep-Alive headers and applied to the sockets; the bounds are ours.
  set_keep_alive_max_count(static_cast<size_t>(limits_.requestsPerConnection));
  set_keep_alive_timeout(seconds(limits_.idle));
  set_read_timeout(seconds(limits_.head));
  set_write_timeout(seconds(limits_.write));
  set_tcp_nodelay(true);
}

BoundedHttpServer::~BoundedHttpServer() {
  if (stopEvent_ >= 0) ::close(stopEvent_);
}

void BoundedHttpServer::RaiseBacklog() {
  const socket_t listening = svr_sock_;
  if (listening != INVALID_SOCKET) ::listen(listening, SOMAXCONN);
}

void BoundedHttpServer::StopServing() {
  const eventfd_t one = 1;
  if (stopEvent_ >= 0) ::eventfd_write(stopEvent_, one);
  stop();
}

bool BoundedHttpServer::process_and_close_socket(socket_t sock) {
  ClientStream stream(sock, stopEvent_);
  bool answered = false;
  bool lost = false;  // the connection is no longer at the start of a request
  for (int served = 0; served < limits_.requestsPerConnection && !lost; ++served) {
    if (!stream.WaitForRequest(SteadyClock::now() + limits_.idle)) break;
    stream.BeginRequest(SteadyClock::now() + limits_.head, limits_.headBytes);
    bool closed = false;
    lost = true;  // until the head has been read
    answered = process_request(stream, served + 1 == limits_.requestsPerConnection, closed,
                               [&lost](httplib::Request& request) {
                                 lost = CarriesBody(request);
                                 if (!lost) return;
                                 request.headers.erase("Connection");
                                 request.set_header("Connection", "close");
                               });
    answered = stream.Flush(SteadyClock::now() + limits_.write) && answered;
    if (!answered || closed) break;
  }
  Close(sock, lost || !answered, stopEvent_);
  return answered;
}

}  // namespace skyloom
