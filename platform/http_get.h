#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>

namespace skyloom {

// An unattended collector must neither hang on a silent server nor run out of memory.
struct HttpLimits {
  std::chrono::milliseconds connect{30'000};
  std::chrono::milliseconds whole{120'000};
  qsizetype maxBody = 16 * 1024 * 1024;
};

struct HttpResponse {
  int errNum = 0;  // a libcurl result code; 0 when a response arrived, whatever its status
  QString errDes;  // libcurl's words for the code and the detail of this failure
  QByteArray body;
};

// A synchronous GET of an http or https address, following at most ten redirects. Plain http
// goes over a socket of its own, which spares loading libcurl; https, a proxy and anything
// unusual go to libcurl. Setting `cancel` from another thread ends the request within about a
// second.
HttpResponse HttpGet(const QString& url, const HttpLimits& limits,
                     const std::atomic<bool>* cancel = nullptr);

}  // namespace skyloom
