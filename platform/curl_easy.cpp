#include "platform/curl_easy.h"

#include <mutex>

#include "build_config.h"

namespace skyloom {
namespace {

size_t AppendCapped(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<CappedBody*>(user);
  const size_t bytes = size * count;
  if (static_cast<qsizetype>(bytes) > sink->limit - sink->body->size()) {
    sink->overflowed = true;
    return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
  }
  sink->body->append(data, static_cast<qsizetype>(bytes));
  return bytes;
}

int CheckCancel(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

}  // namespace

CurlEasy NewCurlEasy(CappedBody& body, const std::atomic<bool>* cancel) {
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CurlEasy curl(curl_easy_init());
  if (!curl) return curl;
  CURL* h = curl.get();
  // libcurl keeps its own copy of every string option.
  const QByteArray userAgent =
      QByteArrayLiteral("Skyloom/") + QByteArray::number(build::kVersionMajor) + '.' +
      QByteArray::number(build::kVersionMinor) + '.' + QByteArray::number(build::kVersionRevision);
  curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.constData());
  // Without these an address could read local files (file://) or reach other services.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendCapped);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  if (cancel) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
  }
  return curl;
}

}  // namespace skyloom
