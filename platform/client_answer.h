#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <optional>

namespace skyloom {

// What a GET or a POST of ours got back from a server, or why nothing came.
struct ClientAnswer {
  int errNum = 0;   // a libcurl result code; 0 when an answer arrived, whatever its status
  QString errDes;   // what went wrong; never the address, which may hold a key
  int status = 0;   // the HTTP status of the answer
  QByteArray body;  // empty after a failure
  std::optional<std::chrono::seconds> retryAfter;  // a Retry-After in seconds, read by POST
};

}  // namespace skyloom
