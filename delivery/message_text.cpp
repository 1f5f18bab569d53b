#include "delivery/message_text.h"

#include <algorithm>

#include "forecast/readable_text.h"

namespace skyloom {

using namespace Qt::StringLiterals;

namespace {

qsizetype Utf8Bytes(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

QString PlainText(const Event& event, qsizetype maxBytes);

}  // namespace

QString MessageForecast(const QString& stored) {
  return ReadableForecast(stored).replace(QChar(0xA0), u' ');
}

QString CutToBytes(const QString& text, qsizetype maxBytes) {
  const QString ellipsis = u"…"_s;  // three bytes
  qsizetype bytes = 0;
  qsizetype fitsWithEllipsis = 0;  // code units that still leave room for the ellipsis
  for (qsizetype i = 0; i < text.size();) {
    const bool pair =
        text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
    const char32_t c = pair ? QChar::surrogateToUcs4(text[i], text[i + 1]) : text[i].unicode();
    bytes += Utf8Bytes(c);
    i += pair ? 2 : 1;
    if (bytes + 3 <= maxBytes) fitsWithEllipsis = i;
    if (bytes > maxBytes) return text.left(fitsWithEllipsis) + ellipsis;
  }
  return text;
}

QString ChatText(const Event& event, qsizetype maxBytes, const QString& keyword) {
  QString text = PlainText(event, maxBytes);
  if (keyword.isEmpty() || text.contains(keyword)) return text;
  const QString mark = u"【"_s + keyword + u"】"_s;
  return mark + PlainText(event, maxBytes > 0
                                     ? std::max<qsizetype>(maxBytes - mark.toUtf8().size(), 1)
                                     : 0);
}

namespace {

QString PlainText(const Event& event, qsizetype maxBytes) {
  QString text =
      u"%1 %2（%3）\n"_s.arg(NamesOf(event.kind).headline.toString(), event.logtime, event.id);
  switch (event.kind) {
    case EventKind::NewForecast:
      text += MessageForecast(event.text);
      break;
    case EventKind::Failure:
      text += u"%1 %2：%3\n连续失败 %4 次"_s.arg(event.status)
                  .arg(event.number)
                  .arg(event.description)
                  .arg(event.failures);
      break;
    case EventKind::Recovery:
      text += u"%1：此前连续失败 %2 次"_s.arg(event.status).arg(event.failures);
      break;
    case EventKind::Test:
      text += event.text;
      break;
  }
  return maxBytes > 0 ? CutToBytes(text, maxBytes) : text;
}

}  // namespace

}  // namespace skyloom
