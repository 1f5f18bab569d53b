#include "app/record_options.h"

#include <QDateTime>
#include <QStringList>

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

// A local time as people write it, as the tables' logtime text; a day alone is its start, or
// with --until its end, so that --until 2026-12-31 takes in the whole last day.
std::optional<QString> LogTime(QString text, bool dayEnds) {
  text.replace(u'T', u' ');
  const QDate day = QDate::fromString(text, u"yyyy-MM-dd"_s);
  if (day.isValid()) {
    return QDateTime(dayEnds ? day.addDays(1) : day, QTime(0, 0))
        .toString(u"yyyy-MM-dd HH:mm:ss"_s);
  }
  for (const QString& format : {u"yyyy-MM-dd HH:mm:ss"_s, u"yyyy-MM-dd HH:mm"_s}) {
    const QDateTime time = QDateTime::fromString(text, format);
    if (time.isValid()) return time.toString(u"yyyy-MM-dd HH:mm:ss"_s);
  }
  return std::nullopt;
}

}  // namespace

bool IsRecordOption(const QString& argument) {
  static const QStringList options{u"--export"_s, u"--backup"_s, u"--format"_s,
                                   u"--since"_s,  u"--until"_s,  u"--output"_s};
  return options.contains(argument);
}

std::optional<QString> ReadRecordOption(const QString& argument, const QString& value,
                                        RecordOptions& options) {
  if (argument == u"--backup"_s) {
    if (value.isEmpty()) return u"--backup needs a file name"_s;
    options.backupFile = value;
    return std::nullopt;
  }
  if (argument == u"--export"_s) {
    if (!QStringList{u"forecasts"_s, u"attempts"_s, u"deliveries"_s}.contains(value)) {
      return u"--export takes forecasts, attempts or deliveries"_s;
    }
    options.table = value;
    return std::nullopt;
  }
  options.exportOnly = true;
  if (argument == u"--format"_s) {
    if (!QStringList{u"csv"_s, u"json"_s, u"ndjson"_s}.contains(value)) {
      return u"--format takes csv, json or ndjson"_s;
    }
    options.format = value;
  } else if (argument == u"--output"_s) {
    if (value.isEmpty()) return u"--output needs a file name"_s;
    options.output = value;
  } else {
    const bool until = argument == u"--until"_s;
    const std::optional<QString> time = LogTime(value, until);
    if (!time) return u"%1 needs a time as YYYY-MM-DD[ HH:MM[:SS]]"_s.arg(argument);
    (until ? options.span.to : options.span.from) = *time;
  }
  return std::nullopt;
}

}  // namespace skyloom
