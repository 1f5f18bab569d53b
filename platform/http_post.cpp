#include "platform/http_post.h"

#include <memory>

#include "platform/curl_easy.h"

namespace skyloom {
namespace {

struct ListCleanup {
  void operator()(curl_slist* list) const { Curl().curl_slist_free_all(list); }
};

// Only the seconds form of Retry-After: the date form needs a clock the receiver shares.
size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
  auto* retryAfter = static_cast<std::optional<std::chrono::seconds>*>(user);
  const QByteArray line = QByteArray(data, static_cast<qsizetype>(size * count)).trimmed();
  const qsizetype colon = line.indexOf(':');
  if (colon > 0 && line.left(colon).trimmed().compare("retry-after", Qt::CaseInsensitive) == 0) {
    bool number = false;
    const qint64 seconds = line.mid(colon + 1).trimmed().toLongLong(&number);
    if (number && seconds >= 0) *retryAfter = std::chrono::seconds(seconds);
  }
  return size * count;
}

}  // namespace

ClientAnswer HttpPost(const QString& url, const QByteArray& body, const HttpHeaders& headers,
                      const PostLimits& limits, const std::atomic<bool>* cancel) {
  ClientAnswer answer;
  CappedBody sink{&answer.body, limits.maxAnswer};
  const CurlEasy curl = NewCurlEasy(sink, cancel);
  if (!curl) {
    answer.errNum = CURLE_FAILED_INIT;
    answer.errDes = CurlEasyProblem();
    return answer;
  }
  const Libcurl& lib = Curl();
  std::unique_ptr<curl_slist, ListCleanup> list;
  for (const auto& [name, value] : headers) {
    const QByteArray line = name + ": " + value;
    list.reset(lib.curl_slist_append(list.release(), line.constData()));
  }
  // libcurl would otherwise wait a second for a "100 Continue" on larger bodies.
  list.reset(lib.curl_slist_append(list.release(), "Expect:"));

  const QByteArray address = url.toUtf8();
  CURL* h = curl.get();
  lib.curl_easy_setopt(h, CURLOPT_URL, address.constData());
  lib.curl_easy_setopt(h, CURLOPT_POST, 1L);
  lib.curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.constData());
  lib.curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  lib.curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
  lib.curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.whole.count()));
  lib.curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, ReadHeader);
  lib.curl_easy_setopt(h, CURLOPT_HEADERDATA, &answer.retryAfter);

  const CURLcode result = lib.curl_easy_perform(h);
  long status = 0;
  lib.curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  answer.status = static_cast<int>(status);
  if (result == CURLE_OK) return answer;

  answer.body.clear();
  answer.errNum = static_cast<int>(result);
  // The error buffer is left out on purpose: it may quote the address, and with it a key.
  answer.errDes = QString::fromUtf8(lib.curl_easy_strerror(result));
  if (sink.overflowed) {
    answer.errDes +=
        QStringLiteral(": the answer is larger than %1 KiB").arg(limits.maxAnswer / 1024);
  } else if (result == CURLE_OPERATION_TIMEDOUT) {
    answer.errDes += QStringLiteral(" (limit %1 s)").arg(limits.whole.count() / 1000.0);
  }
  return answer;
}

}  // namespace skyloom
