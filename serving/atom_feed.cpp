#include "serving/atom_feed.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include "forecast/forecast_fields.h"
#include "forecast/readable_text.h"

namespace skyloom {
namespace {

// A tag URI (RFC 4151) of our own naming, never a host's: the same wherever it is served.
constexpr char kTagPrefix[] = "tag:skyloom.forecast,2026:";

// RFC 3339 with the offset the local zone had then.
QString Rfc3339(const QString& logtime) {
  QDateTime local = QDateTime::fromString(logtime, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  if (!local.isValid()) return QStringLiteral("1970-01-01T00:00:00Z");
  local.setTimeZone(QTimeZone::systemTimeZone());
  return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

// XML 1.0 takes tab, newline and carriage return of the control characters, and no lone
// surrogate or U+FFFE/U+FFFF.
QString XmlText(const QString& text) {
  QString kept;
  kept.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      kept += c;
      kept += text[++i];
      continue;
    }
    const char16_t u = c.unicode();
    if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || (u >= 0x7F && u < 0xA0) ||
        c.isSurrogate() || u == 0xFFFE || u == 0xFFFF) {
      continue;
    }
    kept += c;
  }
  return kept.toHtmlEscaped();
}

// The fields as the API gives them, as JSON text; feed readers pass over the element, and a
// program reads it as it reads /forecast.
QString FieldsText(const std::optional<ForecastFields>& read) {
  const QJsonValue fields = ForecastFieldsJson(read);
  if (!fields.isObject()) return QStringLiteral("null");
  return QString::fromUtf8(QJsonDocument(fields.toObject()).toJson(QJsonDocument::Compact));
}

}  // namespace

QByteArray AtomFeed(const std::vector<Event>& newestFirst) {
  const QString updated = newestFirst.empty() ? QStringLiteral("1970-01-01T00:00:00Z")
                                              : Rfc3339(newestFirst.front().logtime);
  QString feed = QStringLiteral(
                     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                     "<feed xmlns=\"http://www.w3.org/2005/Atom\" "
                     "xmlns:skyloom=\"tag:skyloom.forecast,2026:fields\">\n"
                     "<id>%1forecasts</id>\n<title>Skyloom forecasts</title>\n"
                     "<updated>%2</updated>\n<author><name>Skyloom</name></author>\n"
                     "<link rel=\"alternate\" type=\"text/html\" href=\"./\"/>\n")
                     .arg(QLatin1String(kTagPrefix), updated);
  for (const Event& forecast : newestFirst) {
    feed +=
        QStringLiteral(
            "<entry>\n<id>%1%2</id>\n<title>%3</title>\n<updated>%4</updated>\n"
            "<content type=\"text\">%5</content>\n<skyloom:fields>%6</skyloom:fields>\n"
            "</entry>\n")
            .arg(QLatin1String(kTagPrefix), forecast.id, XmlText(forecast.logtime),
                 Rfc3339(forecast.logtime),
                 XmlText(ReadableForecast(forecast.text).replace(QChar(0x00A0), QLatin1Char(' '))),
                 XmlText(FieldsText(forecast.fields)));
  }
  feed += QStringLiteral("</feed>\n");
  return feed.toUtf8();
}

}  // namespace skyloom
