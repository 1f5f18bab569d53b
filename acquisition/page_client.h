#pragma once

#include <QDateTime>
#include <QString>
#include <atomic>

#include "platform/http_get.h"

namespace skyloom {

// One download: the page as text, or why there is none.
struct PageResponse {
  qint32 errorNumber = 0;  // libcurl's result code; 0 when a response arrived, whatever its status
  QString errorDescription;
  QString text;  // the body decoded from GB2312
};

// Downloads pages of the forecast provider. The request blocks, so it may run on a worker
// thread while another thread cancels it.
class PageClient final {
 public:
  explicit PageClient(HttpLimits limits = {});
  PageClient(const PageClient&) = delete;
  PageClient& operator=(const PageClient&) = delete;

  // GETs the address without its leading and trailing blanks. The status code is not read:
  // an error page's body is the page.
  PageResponse Get(const QString& address) const;
  // Ends a running Get early, from any thread; later ones end at once.
  void Cancel() { cancelled_ = true; }

 private:
  HttpLimits limits_;
  std::atomic<bool> cancelled_{false};
};

// The address box text (used as it stands) with "rstr=" and a stamp of the current time added
// to its query ("?" or "&"), before any #fragment, so that no cache between here and the
// provider answers with an old page.
QString StampedAddress(const QString& addressBoxText, const QDateTime& now);

}  // namespace skyloom
