#include "platform/curl_easy.h"

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

QByteArray UserAgent() {
  return QByteArrayLiteral("Skyloom/") + QByteArray::number(build::kVersionMajor) + '.' +
         QByteArray::number(build::kVersionMinor) + '.' +
         QByteArray::number(build::kVersionRevision);
}

CurlEasy NewCurlEasy(CappedBody& body, const std::atomic<bool>* cancel) {
  const Libcurl* lib = LoadLibcurl();
  if (!lib) return nullptr;
  CurlEasy curl(lib->curl_easy_init());
  if (!curl) return curl;
  CURL* h = curl.get();
  // libcurl keeps its own copy of every string option.
  lib->curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent().constData());
  // Without these an address could read local files (file://) or reach other services.
  lib->curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  lib->curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  lib->curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  lib->curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendCapped);
  lib->curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  if (cancel) {
    lib->curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    lib->curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    lib->curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
  }
  return curl;
}

QString CurlEasyProblem() {
  const QString problem = LibcurlProblem();
  return problem.isEmpty() ? QStringLiteral("libcurl could not make a request handle") : problem;
}

}  // namespace skyloom
