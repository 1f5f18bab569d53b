#include "acquisition/page_client.h"

#include "acquisition/forecast_text.h"
#include "platform/clock.h"
#include "platform/gb_decoder.h"

namespace skyloom {

PageClient::PageClient(HttpLimits limits) : limits_(limits) {}

PageResponse PageClient::Get(const QString& address) const {
  const HttpResponse response = HttpGet(TrimBlanks(address), limits_, &cancelled_);
  if (response.errNum != 0) return PageResponse{response.errNum, response.errDes, {}};
  return PageResponse{0, {}, DecodeGb2312(response.body)};
}

QString StampedAddress(const QString& addressBoxText, const QDateTime& now) {
  QString stamp = NowText(now);
  stamp.remove(QLatin1Char(' ')).remove(QLatin1Char(':')).remove(QLatin1Char('-'));
  return addressBoxText + QStringLiteral("?rstr=") + stamp;
}

}  // namespace skyloom
