#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>

#include "platform/client_answer.h"

namespace skyloom {

// An unattended collector must neither hang on a silent server nor run out of memory.
struct HttpLimits {
  std::chrono::milliseconds connect{30'000};
  std::chrono::milliseconds whole{120'000};
  qsizetype maxBody = 16 * 1024 * 1024;
};

// A synchronous GET of an http or https address, following at most ten redirects. Plain http
// goes over a socket of its own, which spares loading libcurl; https, a proxy and anything
// unusual go to libcurl. Setting `cancel` from another thread ends the request within about a
// second.
ClientAnswer HttpGet(const QString& url, const HttpLimits& limits,
                     const std::atomic<bool>* cancel = nullptr);

}  // namespace skyloom
