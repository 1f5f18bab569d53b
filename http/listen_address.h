#pragma once

#include <QString>
#include <optional>
#include <string>

namespace skyloom {

struct ListenAddress {
  std::string host;  // without the brackets of an IPv6 host
  int port = 0;
};

// HOST:PORT, an IPv6 host in brackets, a port from 0 (any free one) to 65535.
std::optional<ListenAddress> ParseListenAddress(const QString& text);

}  // namespace skyloom
