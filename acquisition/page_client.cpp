#include "acquisition/page_client.h"

#include "acquisition/forecast_text.h"
#include "platform/clock.h"
#include "platform/gb_decoder.h"

namespace skyloom {

PageClient::PageClient(HttpLimits limits) : limits_(limits) {}

PageResponse PageClient::Get(const QString& address) const {
  const ClientAnswer response = HttpGet(TrimBlanks(address), limits_, &cancelled_);
  if (response.errNum != 0) return PageResponse{response.errNum, response.errDes, {}};
  return PageResponse{0, {}, DecodeGb2312(response.body)};
}

QString StampedAddress(const QString& addressBoxText, const QDateTime& now) {
  QString stamp = NowText(now);
  stamp.remove(QLatin1Char(' ')).remove(QLatin1Char(':')).remove(QLatin1Char('-'));
  // A fragment never reaches the server, so the stamp goes before it.
  const qsizetype hash = addressBoxText.indexOf(QLatin1Char('#'));
  const QString address = hash < 0 ? addressBoxText : addressBoxText.left(hash);
  const QString fragment = hash < 0 ? QString() : addressBoxText.mid(hash);
  QString joiner;
  if (!address.contains(QLatin1Char('?'))) {
    joiner = QStringLiteral("?");
  } else if (!address.endsWith(QLatin1Char('?')) && !address.endsWith(QLatin1Char('&'))) {
    joiner = QStringLiteral("&");
  }
  return address + joiner + QStringLiteral("rstr=") + stamp + fragment;
}

}  // namespace skyloom
