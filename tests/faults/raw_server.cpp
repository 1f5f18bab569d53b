#include "raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "support/loopback_socket.h"

namespace skyloom::test {
namespace {

constexpr int kPollSliceMs = 50;

// Reading the request keeps the client from seeing a reset.
std::string ReadRequestHead(int socket, const std::atomic<bool>& stop) {
  std::string head;
  char buffer[1024];
  for (int slice = 0; slice < 2000 / kPollSliceMs && !stop; ++slice) {
    pollfd poller{socket, POLLIN, 0};
    if (::poll(&poller, 1, kPollSliceMs) <= 0) continue;
    const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    head.append(buffer, static_cast<size_t>(got));
    if (head.find("\r\n\r\n") != std::string::npos) break;
  }
  return head;
}

}  // namespace

RawServer::RawServer(Behaviour behaviour)
    : behaviour_(std::move(behaviour)), listener_(BindLoopback(port_)) {
  if (::listen(listener_, 8) != 0) {
    ::close(listener_);
    throw std::runtime_error("cannot listen on a loopback port");
  }
  thread_ = std::thread([this] { Serve(); });
}

RawServer::~RawServer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

QString RawServer::Url(const QString& path) const {
  return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path);
}

void RawServer::Serve() {
  while (!stop_) {
    pollfd poller{listener_, POLLIN, 0};
    if (::poll(&poller, 1, kPollSliceMs) <= 0) continue;
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    ++connections_;
    std::string head = ReadRequestHead(socket, stop_);
    {
      const std::scoped_lock lock(mutex_);
      lastHead_ = std::move(head);
    }
    behaviour_(socket, stop_);
    ::close(socket);
  }
}

std::string RawServer::LastHead() const {
  const std::scoped_lock lock(mutex_);
  return lastHead_;
}

bool SendAll(int socket, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool SendAll(int socket, const std::string& text) {
  return SendAll(socket, text.data(), text.size());
}

bool Pause(int milliseconds, const std::atomic<bool>& stop) {
  for (int waited = 0; waited < milliseconds && !stop; waited += kPollSliceMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollSliceMs));
  }
  return !stop;
}

void WaitForPeerToClose(int socket, int milliseconds, const std::atomic<bool>& stop) {
  char buffer[256];
  for (int waited = 0; waited < milliseconds && !stop; waited += kPollSliceMs) {
    pollfd poller{socket, POLLIN, 0};
    if (::poll(&poller, 1, kPollSliceMs) <= 0) continue;
    if (::recv(socket, buffer, sizeof buffer, 0) <= 0) return;
  }
}

}  // namespace skyloom::test
