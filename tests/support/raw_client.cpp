#include "support/raw_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace skyloom::test {

int ConnectLoopback(int port, const char* from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

RawExchange Exchange(int port, std::string_view bytes, int waitMs) {
  RawExchange exchange;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return exchange;
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      exchange.closed = true;
      break;
    }
    exchange.received.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  Record(bytes, exchange.received);
  return exchange;
}

void Record(std::string_view sent, std::string_view received) {
  static const char* const file = std::getenv("SKYLOOM_RECORD_ANSWERS");
  if (!file || received.empty()) return;
  const auto base64 = [](std::string_view bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toBase64();
  };
  // One write of the whole line: the API's tests run as several processes into one file.
  const QByteArray line = base64(sent) + ' ' + base64(received) + '\n';
  const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, line.constData(), static_cast<size_t>(line.size())) != line.size()) {
    std::fprintf(stderr, "cannot record the answer in %s\n", file);
    std::abort();
  }
  ::close(fd);
}

int RawExchange::Status() const {
  if (!received.starts_with("HTTP/1.1 ") || received.size() < 12) return 0;
  return std::stoi(received.substr(9, 3));
}

std::string RawExchange::Header(std::string_view name) const {
  const std::size_t end = received.find("\r\n\r\n");
  const std::string head = "\r\n" + received.substr(0, end) + "\r\n";
  const std::size_t at = head.find("\r\n" + std::string(name) + ": ");
  if (at == std::string::npos) return "<none>";
  const std::size_t from = at + name.size() + 4;
  return head.substr(from, head.find("\r\n", from) - from);
}

std::string RawExchange::Body() const {
  const std::size_t end = received.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : received.substr(end + 4);
}

}  // namespace skyloom::test
