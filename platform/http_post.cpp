#include "platform/http_post.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "build_config.h"

namespace skyloom {
namespace {

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct AnswerSink {
  QByteArray* body;
  qsizetype limit;
  bool overflowed = false;
  std::optional<std::chrono::seconds> retryAfter;
};

// Chunked answers ignore CURLOPT_MAXFILESIZE, so the cap lives here.
size_t AppendAnswer(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<AnswerSink*>(user);
  const size_t bytes = size * count;
  if (static_cast<qsizetype>(bytes) > sink->limit - sink->body->size()) {
    sink->overflowed = true;
    return 0;
  }
  sink->body->append(data, static_cast<qsizetype>(bytes));
  return bytes;
}

// Only the seconds form of Retry-After: the date form needs a clock the receiver shares.
size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<AnswerSink*>(user);
  const QByteArray line = QByteArray(data, static_cast<qsizetype>(size * count)).trimmed();
  const qsizetype colon = line.indexOf(':');
  if (colon > 0 && line.left(colon).trimmed().compare("retry-after", Qt::CaseInsensitive) == 0) {
    bool number = false;
    const qint64 seconds = line.mid(colon + 1).trimmed().toLongLong(&number);
    if (number && seconds >= 0) sink->retryAfter = std::chrono::seconds(seconds);
  }
  return size * count;
}

int CheckCancel(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return cancel && static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

}  // namespace

PostAnswer HttpPost(const QString& url, const QByteArray& body, const HttpHeaders& headers,
                    const PostLimits& limits, const std::atomic<bool>* cancel) {
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  PostAnswer answer;
  std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
  if (!curl) {
    answer.errNum = CURLE_FAILED_INIT;
    answer.errDes = QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT));
    return answer;
  }
  std::unique_ptr<curl_slist, ListCleanup> list;
  for (const auto& [name, value] : headers) {
    const QByteArray line = name + ": " + value;
    list.reset(curl_slist_append(list.release(), line.constData()));
  }
  // libcurl would otherwise wait a second for a "100 Continue" on larger bodies.
  list.reset(curl_slist_append(list.release(), "Expect:"));

  AnswerSink sink{&answer.body, limits.maxAnswer, false, std::nullopt};
  const QByteArray address = url.toUtf8();
  const QByteArray userAgent =
      QByteArrayLiteral("Skyloom/") + QByteArray::number(build::kVersionMajor) + '.' +
      QByteArray::number(build::kVersionMinor) + '.' + QByteArray::number(build::kVersionRevision);
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, address.constData());
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.constData());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.constData());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.whole.count()));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendAnswer);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, ReadHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &sink);
  if (cancel) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
  }

  const CURLcode result = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  answer.status = static_cast<int>(status);
  answer.retryAfter = sink.retryAfter;
  if (result == CURLE_OK) return answer;

  answer.body.clear();
  answer.errNum = static_cast<int>(result);
  // The error buffer is left out on purpose: it may quote the address, and with it a key.
  answer.errDes = QString::fromUtf8(curl_easy_strerror(result));
  if (sink.overflowed) {
    answer.errDes +=
        QStringLiteral(": the answer is larger than %1 KiB").arg(limits.maxAnswer / 1024);
  } else if (result == CURLE_OPERATION_TIMEDOUT) {
    answer.errDes += QStringLiteral(" (limit %1 s)").arg(limits.whole.count() / 1000.0);
  }
  return answer;
}

}  // namespace skyloom
