#include "schedule/schedule_text.h"

#include <QRegularExpression>
#include <algorithm>

namespace skyloom {
namespace {

constexpr int kMinutesPerDay = 24 * 60;

std::optional<QString> ParseTime(const QString& text, QTime& time) {
  static const QRegularExpression form(QStringLiteral("^(\\d\\d):(\\d\\d)(?::(\\d\\d))?$"));
  const QRegularExpressionMatch match = form.match(text);
  if (!match.hasMatch()) return QStringLiteral("\"%1\" is not HH:MM or HH:MM:SS").arg(text);
  const int hour = match.captured(1).toInt();
  const int minute = match.captured(2).toInt();
  const int second = match.hasCaptured(3) ? match.captured(3).toInt() : 0;
  if (hour > 23) return QStringLiteral("\"%1\": hours go up to 23").arg(text);
  if (minute > 59 || second > 59) {
    return QStringLiteral("\"%1\": minutes and seconds go up to 59").arg(text);
  }
  time = QTime(hour, minute, second);
  return std::nullopt;
}

QString TimeText(const QTime& time) {
  return time.toString(time.second() == 0 ? QStringLiteral("HH:mm") : QStringLiteral("HH:mm:ss"));
}

QString RangeText(const SyncWindow& window) {
  return TimeText(window.from) + u'-' + TimeText(window.to);
}

}  // namespace

std::expected<std::vector<SyncWindow>, QString> ParseWindows(const QString& text) {
  if (text.trimmed().isEmpty()) return std::unexpected(QStringLiteral("needs at least one range"));
  std::vector<SyncWindow> read;
  for (const QString& part : text.split(u',')) {
    const QString range = part.trimmed();
    const QStringList ends = range.split(u'-');
    if (ends.size() != 2) {
      return std::unexpected(
          QStringLiteral("\"%1\" is not a range HH:MM[:SS]-HH:MM[:SS]").arg(range));
    }
    SyncWindow window;
    if (auto problem = ParseTime(ends[0].trimmed(), window.from)) return std::unexpected(*problem);
    if (auto problem = ParseTime(ends[1].trimmed(), window.to)) return std::unexpected(*problem);
    if (window.to < window.from) {
      return std::unexpected(QStringLiteral("%1 ends before it starts").arg(range));
    }
    read.push_back(window);
  }
  std::sort(read.begin(), read.end(),
            [](const SyncWindow& a, const SyncWindow& b) { return a.from < b.from; });
  // Closed ranges: two that share an instant overlap.
  for (size_t i = 1; i < read.size(); ++i) {
    if (read[i].from <= read[i - 1].to) {
      return std::unexpected(
          QStringLiteral("%1 overlaps %2").arg(RangeText(read[i - 1]), RangeText(read[i])));
    }
  }
  return read;
}

std::expected<int, QString> ParseInterval(const QString& text) {
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,4}$"));
  const int value = digits.match(text).hasMatch() ? text.toInt() : 0;
  if (value < 1 || value > kMinutesPerDay) {
    return std::unexpected(QStringLiteral("needs whole minutes from 1 to %1").arg(kMinutesPerDay));
  }
  return value;
}

QString WindowsText(const std::vector<SyncWindow>& windows) {
  QStringList ranges;
  for (const SyncWindow& window : windows) ranges << RangeText(window);
  return ranges.join(QStringLiteral(", "));
}

}  // namespace skyloom
