#pragma once

#include <QByteArray>
#include <atomic>
#include <memory>

#include "platform/curl_library.h"

namespace skyloom {

struct CurlEasyFree {
  void operator()(CURL* handle) const { Curl().curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;

// A body that refuses to grow past its limit as it arrives: libcurl 7.88 applies
// CURLOPT_MAXFILESIZE to no chunked body.
struct CappedBody {
  QByteArray* body;
  qsizetype limit;
  bool overflowed = false;
};

// A handle with what every request of this program has: its user agent, http and https only,
// no signals (they cannot interrupt a name lookup on a worker thread; timeouts stay in force),
// the body written into `body`, and a stop when `cancel` is raised. Null when libcurl cannot
// be loaded or make one.
CurlEasy NewCurlEasy(CappedBody& body, const std::atomic<bool>* cancel);

// Why NewCurlEasy made no handle.
QString CurlEasyProblem();

// The program's user agent, also for requests made without libcurl.
QByteArray UserAgent();

}  // namespace skyloom
