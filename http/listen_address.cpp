#include "http/listen_address.h"

#include <algorithm>

namespace skyloom {

std::optional<ListenAddress> ParseListenAddress(const QString& text) {
  const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
  if (colon <= 0) return std::nullopt;
  QString host = text.left(colon);
  if (host.startsWith(QLatin1Char('['))) {
    if (host.size() < 3 || !host.endsWith(QLatin1Char(']'))) return std::nullopt;
    host = host.mid(1, host.size() - 2);
  } else if (host.contains(QLatin1Char(':'))) {
    return std::nullopt;
  }
  const QString port = text.mid(colon + 1);
  if (port.isEmpty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](QChar c) { return c >= u'0' && c <= u'9'; })) {
    return std::nullopt;
  }
  const int number = port.toInt();
  if (number > 65535) return std::nullopt;
  return ListenAddress{host.toStdString(), number};
}

}  // namespace skyloom
