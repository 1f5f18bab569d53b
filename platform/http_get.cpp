#include "platform/http_get.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "build_config.h"

namespace skyloom {
namespace {

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

struct BodySink {
  QByteArray* body;
  qsizetype limit;
  bool overflowed = false;
};

// libcurl 7.88 does not apply CURLOPT_MAXFILESIZE to chunked bodies, so the cap lives here.
size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  const size_t bytes = size * count;
  if (static_cast<qsizetype>(bytes) > sink->limit - sink->body->size()) {
    sink->overflowed = true;
    return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
  }
  sink->body->append(data, static_cast<qsizetype>(bytes));
  return bytes;
}

// Browsers send a typed blank as %20; libcurl refuses a URL that holds one.
QByteArray EncodeBlanks(const QString& url) {
  QByteArray encoded = url.toUtf8();
  encoded.replace(" ", "%20");
  return encoded;
}

int CheckCancel(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return cancel && static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

QString Megabytes(qsizetype bytes) { return QString::number(bytes / (1024.0 * 1024.0), 'g', 4); }

QString Seconds(std::chrono::milliseconds limit) {
  return QString::number(limit.count() / 1000.0, 'g', 6);
}

}  // namespace

HttpResponse HttpGet(const QString& url, const HttpLimits& limits,
                     const std::atomic<bool>* cancel) {
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  HttpResponse response;
  std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
  if (!curl) {
    response.errNum = CURLE_FAILED_INIT;
    response.errDes = QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT));
    return response;
  }

  char detail[CURL_ERROR_SIZE] = {};
  BodySink sink{&response.body, limits.maxBody};
  const QByteArray address = EncodeBlanks(url);
  const QByteArray userAgent =
      QByteArrayLiteral("Skyloom/") + QByteArray::number(build::kVersionMajor) + '.' +
      QByteArray::number(build::kVersionMinor) + '.' + QByteArray::number(build::kVersionRevision);
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
  curl_easy_setopt(h, CURLOPT_URL, address.constData());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.constData());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  // Without these a page address could read local files (file://) or reach other services.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect.count()));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.whole.count()));
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBody));
  // Signals cannot interrupt name lookups on a worker thread; timeouts stay in force.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  if (cancel) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
  }

  const CURLcode result = curl_easy_perform(h);
  if (result == CURLE_OK) return response;

  response.body.clear();
  response.errNum = static_cast<int>(result);
  QString description = QString::fromUtf8(curl_easy_strerror(result));
  if (sink.overflowed || result == CURLE_FILESIZE_EXCEEDED) {
    description += QStringLiteral(": response body larger than the limit of %1 MiB")
                       .arg(Megabytes(limits.maxBody));
  } else if (detail[0] != '\0') {
    description += QStringLiteral(": ") + QString::fromUtf8(detail).trimmed();
  }
  if (result == CURLE_ABORTED_BY_CALLBACK) {
    description += QStringLiteral(": the request was stopped because the program is closing");
  }
  if (result == CURLE_OPERATION_TIMEDOUT) {
    description += QStringLiteral(" (limits: connect %1 s, whole request %2 s)")
                       .arg(Seconds(limits.connect), Seconds(limits.whole));
  }
  response.errDes = description;
  return response;
}

}  // namespace skyloom
