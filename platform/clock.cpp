#include "platform/clock.h"

#include <QLocale>

namespace skyloom {

QDateTime SystemClock::Now() const {
  QDateTime now = QDateTime::currentDateTime();
  return now.addMSecs(-now.time().msec());
}

namespace {

// Qt's long time formats end with the zone name ("t"), which a clock face does without.
QString WithoutZone(const QString& format) {
  QString kept;
  bool quoted = false;
  for (const QChar c : format) {
    if (c == QLatin1Char('\'')) quoted = !quoted;
    if (quoted || c != QLatin1Char('t')) kept += c;
  }
  return kept.trimmed();
}

}  // namespace

QString NowText(const QDateTime& instant) {
  const QLocale locale = QLocale::system();
  return locale.toString(instant.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(instant.time(), WithoutZone(locale.timeFormat(QLocale::LongFormat)));
}

QString LogTimeText(const QDateTime& instant) {
  return instant.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

qint64 MinutesBetween(const QDateTime& from, const QDateTime& to) {
  const auto wholeMinutes = [](const QDateTime& instant) {
    return QDateTime(instant.date(), QTime(instant.time().hour(), instant.time().minute()))
               .toSecsSinceEpoch() /
           60;
  };
  return wholeMinutes(to) - wholeMinutes(from);
}

}  // namespace skyloom
