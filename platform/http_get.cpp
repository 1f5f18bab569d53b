#include "platform/http_get.h"

#include "platform/curl_easy.h"
#include "platform/plain_http_get.h"

namespace skyloom {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxRedirects = 10;

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

struct Ended {
  CURLcode code = CURLE_OK;
  QString text;    // the client's words for the code
  QString detail;  // what went wrong in this request
  bool overflowed = false;
  int status = 0;
};

Ended CurlGet(const QByteArray& address, const HttpLimits& limits, Clock::time_point deadline,
              int redirects, const std::atomic<bool>* cancel, QByteArray& body) {
  CappedBody sink{&body, limits.maxBody};
  const CurlEasy curl = NewCurlEasy(sink, cancel);
  if (!curl) return {CURLE_FAILED_INIT, PlainCodeText(CURLE_FAILED_INIT), CurlEasyProblem()};
  const Libcurl& lib = Curl();
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  char detail[CURL_ERROR_SIZE] = {};
  CURL* h = curl.get();
  lib.curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
  lib.curl_easy_setopt(h, CURLOPT_URL, address.constData());
  lib.curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  lib.curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  lib.curl_easy_setopt(h, CURLOPT_MAXREDIRS, static_cast<long>(redirects));
  lib.curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect.count()));
  // At least a millisecond: zero would mean no limit at all.
  lib.curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<qint64>(left.count(), 1)));
  lib.curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBody));
  const CURLcode result = lib.curl_easy_perform(h);
  long status = 0;
  lib.curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  return {result, QString::fromUtf8(lib.curl_easy_strerror(result)),
          QString::fromUtf8(detail).trimmed(), sink.overflowed, static_cast<int>(status)};
}

}  // namespace

ClientAnswer HttpGet(const QString& url, const HttpLimits& limits,
                     const std::atomic<bool>* cancel) {
  ClientAnswer response;
  const QByteArray address = EncodeBlanks(url);
  const auto deadline = Clock::now() + limits.whole;
  Ended ended;
  if (PlainHttpFetches(address)) {
    PlainGetOutcome plain = PlainHttpGet(address, limits, deadline, kMaxRedirects, cancel);
    if (plain.handOver.isEmpty()) {
      response.body = std::move(plain.body);
      ended = {plain.code, PlainCodeText(plain.code), plain.detail, plain.overflowed, plain.status};
    } else {
      ended = CurlGet(plain.handOver, limits, deadline, plain.redirectsLeft, cancel, response.body);
    }
  } else {
    ended = CurlGet(address, limits, deadline, kMaxRedirects, cancel, response.body);
  }
  response.status = ended.status;
  if (ended.code == CURLE_OK) return response;

  response.body.clear();
  response.errNum = static_cast<int>(ended.code);
  QString description = ended.text;
  if (ended.overflowed || ended.code == CURLE_FILESIZE_EXCEEDED) {
    description += QStringLiteral(": response body larger than the limit of %1 MiB")
                       .arg(Megabytes(limits.maxBody));
  } else if (!ended.detail.isEmpty()) {
    description += QStringLiteral(": ") + ended.detail;
  }
  if (ended.code == CURLE_ABORTED_BY_CALLBACK) {
    description += QStringLiteral(": the request was stopped because the program is closing");
  }
  if (ended.code == CURLE_OPERATION_TIMEDOUT) {
    description += QStringLiteral(" (limits: connect %1 s, whole request %2 s)")
                       .arg(Seconds(limits.connect), Seconds(limits.whole));
  }
  response.errDes = description;
  return response;
}

}  // namespace skyloom
