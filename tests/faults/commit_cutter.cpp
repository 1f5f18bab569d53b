#include "commit_cutter.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "raw_server.h"
#include "support/loopback_socket.h"
#include "support/raw_client.h"

namespace skyloom::test {

CommitCutter::CommitCutter(int serverPort) : serverPort_(serverPort) {
  listener_ = BindLoopback(port_);
  ::listen(listener_, 16);
  thread_ = std::thread([this] { Pass(); });
}

CommitCutter::~CommitCutter() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

void CommitCutter::Pass() {
  // Even entries are clients, each followed by its server.
  std::vector<int> sockets;
  const auto closePair = [&](size_t client) {
    ::close(sockets[client]);
    ::close(sockets[client + 1]);
    sockets.erase(sockets.begin() + static_cast<long>(client),
                  sockets.begin() + static_cast<long>(client) + 2);
  };
  while (!stop_) {
    std::vector<pollfd> watched{{listener_, POLLIN, 0}};
    for (const int socket : sockets) watched.push_back({socket, POLLIN, 0});
    if (::poll(watched.data(), watched.size(), 50) <= 0) continue;
    if (watched[0].revents & POLLIN) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      const int server = client < 0 ? -1 : ConnectLoopback(serverPort_);
      if (server < 0) {
        if (client >= 0) ::close(client);
      } else {
        sockets.insert(sockets.end(), {client, server});
      }
      continue;  // the list changed under `watched`
    }
    for (size_t i = 1; i < watched.size(); ++i) {
      if (!(watched[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const size_t from = i - 1, client = from - from % 2;
      char buffer[65536];
      const ssize_t got = ::read(sockets[from], buffer, sizeof buffer);
      const bool passed = got > 0 && SendAll(sockets[from ^ 1], buffer, static_cast<size_t>(got));
      const bool commit = from == client && got > 0 &&
                          std::string_view(buffer, static_cast<size_t>(got))
                                  .find(std::string_view("COMMIT\0", 7)) != std::string_view::npos;
      if (!passed || (commit && !cut_.exchange(true))) {
        closePair(client);
        break;  // the list changed under `watched`
      }
    }
  }
  while (!sockets.empty()) closePair(0);
}

}  // namespace skyloom::test
