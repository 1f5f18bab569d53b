#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace skyloom {

// A receiver of a message must answer quickly and briefly: a slow or chatty one is a failed
// delivery, never a stalled worker.
struct PostLimits {
  std::chrono::milliseconds whole{10'000};
  qsizetype maxAnswer = 64 * 1024;
};

using HttpHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

struct PostAnswer {
  int errNum = 0;   // libcurl's result code; 0 when an answer arrived, whatever its status
  QString errDes;   // what went wrong, without the address, which may hold a key
  int status = 0;   // the HTTP status
  QByteArray body;  // empty after a failure
  std::optional<std::chrono::seconds> retryAfter;  // a Retry-After given in seconds
};

// A synchronous POST of `body` to an http or https address, following no redirect. Setting
// `cancel` from another thread ends it within about a second.
PostAnswer HttpPost(const QString& url, const QByteArray& body, const HttpHeaders& headers,
                    const PostLimits& limits, const std::atomic<bool>* cancel = nullptr);

}  // namespace skyloom
