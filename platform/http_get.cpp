#include "platform/http_get.h"

#include "platform/curl_easy.h"

namespace skyloom {
namespace {

// Browsers send a typed blank as %20; libcurl refuses a URL that holds one.
QByteArray EncodeBlanks(const QString& url) {
  QByteArray encoded = url.toUtf8();
  encoded.replace(" ", "%20");
  return encoded;
}

QString Megabytes(qsizetype bytes) { return QString::number(bytes / (1024.0 * 1024.0), 'g', 4); }

QString Seconds(std::chrono::milliseconds limit) {
  return QString::number(limit.count() / 1000.0, 'g', 6);
}

}  // namespace

HttpResponse HttpGet(const QString& url, const HttpLimits& limits,
                     const std::atomic<bool>* cancel) {
  HttpResponse response;
  CappedBody sink{&response.body, limits.maxBody};
  const CurlEasy curl = NewCurlEasy(sink, cancel);
  if (!curl) {
    response.errNum = CURLE_FAILED_INIT;
    response.errDes = QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT));
    return response;
  }

  char detail[CURL_ERROR_SIZE] = {};
  const QByteArray address = EncodeBlanks(url);
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
  curl_easy_setopt(h, CURLOPT_URL, address.constData());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect.count()));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.whole.count()));
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBody));

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
