#pragma once

#include <curl/curl.h>

#include <QByteArray>
#include <atomic>
#include <memory>

namespace skyloom {

struct CurlEasyFree {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;

// A body that refuses to grow past its limit as it arrives: libcurl 7.88 applies
// CURLOPT_MAXFILESIZE to no chunked body.
struct CappedBody {
  QByteArray* body;
  qsizetype limit;
  bool overflowed = false;
};

// A handle with what every request of this program has: libcurl set up once for the whole
// process, its user agent, http and https only, no signals (they cannot interrupt a name
// lookup on a worker thread; timeouts stay in force), the body written into `body`, and a
// stop when `cancel` is raised. Null when libcurl cannot make one.
CurlEasy NewCurlEasy(CappedBody& body, const std::atomic<bool>* cancel);

}  // namespace skyloom
