#include "delivery/message_text.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "forecast/readable_text.h"

namespace skyloom {

using namespace Qt::StringLiterals;

namespace {

// Fixed words, as the group chats that read them expect: the collector's users speak Chinese.
QString Headline(const QString& event) {
  if (event == kEventNew) return u"新预报"_s;
  if (event == kEventFailure) return u"采集失败"_s;
  if (event == kEventRecovery) return u"采集恢复"_s;
  return u"测试消息"_s;
}

qsizetype Utf8Bytes(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

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

QString AlertMessage(const QString& event, const QString& logtime, const QString& status,
                     qint64 errnum, const QString& description, int failures) {
  const QJsonObject object{
      {u"event"_s, event},   {u"logtime"_s, logtime},         {u"status"_s, status},
      {u"errnum"_s, errnum}, {u"description"_s, description}, {u"failures"_s, failures}};
  return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString ChatText(const DeliveryRow& row, qsizetype maxBytes) {
  const QJsonObject message = QJsonDocument::fromJson(row.message.toUtf8()).object();
  const QString logtime = message.value(u"logtime"_s).toString();
  QString text = u"%1 %2（%3）\n"_s.arg(Headline(row.event), logtime, row.eventId);
  const QString status = message.value(u"status"_s).toString();
  const qint64 errnum = message.value(u"errnum"_s).toInteger();
  const int failures = message.value(u"failures"_s).toInt();
  if (row.event == kEventNew) {
    text += MessageForecast(message.value(u"text"_s).toString());
  } else if (row.event == kEventFailure) {
    text += u"%1 %2：%3\n连续失败 %4 次"_s.arg(status)
                .arg(errnum)
                .arg(message.value(u"description"_s).toString())
                .arg(failures);
  } else if (row.event == kEventRecovery) {
    text += u"%1：此前连续失败 %2 次"_s.arg(status).arg(failures);
  } else {
    text += message.value(u"text"_s).toString();
  }
  return maxBytes > 0 ? CutToBytes(text, maxBytes) : text;
}

}  // namespace skyloom
