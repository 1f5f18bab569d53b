#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>
#include <utility>
#include <vector>

#include "platform/client_answer.h"

namespace skyloom {

// A receiver of a message must answer quickly and briefly: a slow or chatty one is a failed
// delivery, never a stalled worker.
struct PostLimits {
  std::chrono::milliseconds whole{10'000};
  qsizetype maxAnswer = 64 * 1024;
};

using HttpHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

// A synchronous POST of `body` to an http or https address, following no redirect. Setting
// `cancel` from another thread ends it within about a second.
ClientAnswer HttpPost(const QString& url, const QByteArray& body, const HttpHeaders& headers,
                      const PostLimits& limits, const std::atomic<bool>* cancel = nullptr);

}  // namespace skyloom
