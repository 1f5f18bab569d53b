#include "platform/clock.h"

#include <QLocale>

namespace skyloom {

QDateTime SystemClock::Now() const {
  QDateTime now = QDateTime::currentDateTime();
  return now.addMSecs(-now.time().msec());
}

QString NowText(const QDateTime& instant) {
  const QLocale locale = QLocale::system();
  // Qt's long time formats carry the zone name ("t"); a clock face reads better without it.
  QString timeFormat = locale.timeFormat(QLocale::LongFormat);
  timeFormat.remove(QLatin1Char('t'));
  return locale.toString(instant.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(instant.time(), timeFormat.trimmed());
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
