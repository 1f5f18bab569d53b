#include "forecast/forecast_changes.h"

#include <QStringList>
#include <array>

#include "forecast/text_diff.h"

namespace skyloom {

using namespace Qt::StringLiterals;

namespace {

// Unchanged characters shown either side of a changed stretch, and the longest unchanged run
// that still joins two stretches into one.
constexpr qsizetype kContext = 6;
constexpr qsizetype kJoin = 4;

const QString kMissing = u"—"_s;

QString RangeText(const ValueRange& range, QStringView unit) {
  if (range.lowest == range.highest) return QString::number(range.lowest) + unit.toString();
  return u"%1–%2%3"_s.arg(range.lowest).arg(range.highest).arg(unit);
}

QString Degrees(const std::optional<ForecastTemperature>& temperature) {
  return temperature ? QString::number(temperature->celsius) + u"℃"_s : QString();
}

std::optional<int> DaysBack(const std::optional<QString>& day) {
  if (!day || *day == u"今天"_s) return 0;
  if (*day == u"昨天"_s) return 1;
  if (*day == u"前天"_s) return 2;
  return std::nullopt;
}

const ForecastPeriod* Namesake(const ForecastFields& fields, const QString& name) {
  for (const ForecastBulletin& bulletin : fields.bulletins) {
    for (const ForecastPeriod& period : bulletin.periods) {
      if (period.name == name) return &period;
    }
  }
  return nullptr;
}

void Compare(const PeriodCells& before, const PeriodCells& after, const QString& label,
             std::vector<FieldChange>& changes) {
  const std::array<std::pair<QString, QString PeriodCells::*>, 5> fields{{
      {u"天气"_s, &PeriodCells::sky},
      {u"风"_s, &PeriodCells::wind},
      {u"最低温度"_s, &PeriodCells::low},
      {u"最高温度"_s, &PeriodCells::high},
      {u"相对湿度"_s, &PeriodCells::humidity},
  }};
  for (const auto& [name, cell] : fields) {
    const QString& was = before.*cell;
    const QString& now = after.*cell;
    if (was == now) continue;
    changes.push_back(
        FieldChange{label, name, was.isEmpty() ? kMissing : was, now.isEmpty() ? kMissing : now});
  }
}

// Whole code points: a character outside the BMP is never split.
QString FirstChars(const QString& text, qsizetype count) {
  qsizetype at = 0;
  for (qsizetype n = 0; n < count && at < text.size(); ++n) {
    at += text[at].isHighSurrogate() && at + 1 < text.size() ? 2 : 1;
  }
  return text.left(at);
}

QString LastChars(const QString& text, qsizetype count) {
  qsizetype at = text.size();
  for (qsizetype n = 0; n < count && at > 0; ++n) {
    at -= text[at - 1].isLowSurrogate() && at > 1 ? 2 : 1;
  }
  return text.mid(at);
}

qsizetype CodePoints(const QString& text) {
  qsizetype count = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (!text[i].isLowSurrogate()) ++count;
  }
  return count;
}

QString AtMost(const QString& text, qsizetype maxChars) {
  if (CodePoints(text) <= maxChars) return text;
  return FirstChars(text, std::max<qsizetype>(maxChars - 1, 0)) + u"…"_s;
}

}  // namespace

PeriodCells CellsOf(const ForecastPeriod& period) {
  QStringList wind;
  if (period.wind) wind << period.wind->direction + RangeText(period.wind->force, u"级");
  for (const ForecastGust& gust : period.gusts) {
    wind << gust.area.value_or(QString()) + u"阵风"_s + RangeText(gust.force, u"级");
  }
  return PeriodCells{
      period.name,          period.sky.value_or(QString()),
      wind.join(u'，'),     Degrees(period.low),
      Degrees(period.high), period.humidity ? RangeText(*period.humidity, u"%") : QString()};
}

const ForecastBulletin* LeadBulletin(const ForecastFields& fields) {
  return fields.bulletins.empty() ? nullptr : &fields.bulletins.front();
}

std::optional<QDateTime> IssueTime(const ForecastBulletin& bulletin, QDate storedOn) {
  const std::optional<int> back = DaysBack(bulletin.issuedDay);
  if (!bulletin.issuedHour || !back || !storedOn.isValid()) return std::nullopt;
  return QDateTime(storedOn.addDays(-*back), QTime(*bulletin.issuedHour, 0));
}

bool IsCorrection(const ForecastFields& before, QDate beforeStored, const ForecastFields& after,
                  QDate afterStored) {
  const ForecastBulletin* was = LeadBulletin(before);
  const ForecastBulletin* now = LeadBulletin(after);
  if (!was || !now || !was->issuer || was->issuer != now->issuer) return false;
  const auto wasIssued = IssueTime(*was, beforeStored);
  return wasIssued && wasIssued == IssueTime(*now, afterStored);
}

QString ChangeText(const FieldChange& change) {
  const QString text = u"%1 %2 → %3"_s.arg(change.field, change.before, change.after);
  return change.period.isEmpty() ? text : change.period + u"："_s + text;
}

std::vector<FieldChange> FieldChanges(const ForecastFields& before, const ForecastFields& after) {
  const ForecastBulletin* lead = LeadBulletin(after);
  if (!lead || lead->periods.empty()) return {};
  std::vector<std::pair<const ForecastPeriod*, const ForecastPeriod*>> pairs;
  for (const ForecastPeriod& period : lead->periods) {
    if (const ForecastPeriod* namesake = Namesake(before, period.name)) {
      pairs.emplace_back(namesake, &period);
    }
  }
  std::vector<FieldChange> changes;
  if (pairs.empty()) {
    // A later issue names its periods anew: the forecast it leads with against the one the
    // previous forecast led with.
    const ForecastBulletin* was = LeadBulletin(before);
    if (!was || was->periods.empty()) return {};
    const PeriodCells old = CellsOf(was->periods.front());
    const PeriodCells now = CellsOf(lead->periods.front());
    changes.push_back(FieldChange{{}, u"时段"_s, old.name, now.name});
    Compare(old, now, {}, changes);
    return changes;
  }
  const bool several = lead->periods.size() > 1;
  for (const auto& [was, now] : pairs) {
    Compare(CellsOf(*was), CellsOf(*now), several ? now->name : QString(), changes);
  }
  return changes;
}

std::vector<TextChange> TextChanges(const QString& before, const QString& after,
                                    qsizetype maxChars) {
  const std::vector<DiffSpan> spans = DiffCharacters(before, after);
  const auto same = [&spans](size_t i) { return spans[i].kind == DiffSpan::Kind::Same; };
  std::vector<TextChange> changes;
  for (size_t i = 0; i < spans.size(); ++i) {
    if (same(i)) continue;
    size_t end = i;
    // A short unchanged run between two changes belongs to both.
    while (end < spans.size() &&
           (!same(end) || (CodePoints(spans[end].text) <= kJoin && end + 1 < spans.size()))) {
      ++end;
    }
    const QString lead = i > 0 ? LastChars(spans[i - 1].text, kContext) : QString();
    const QString tail = end < spans.size() ? FirstChars(spans[end].text, kContext) : QString();
    TextChange change{lead, lead};
    for (size_t k = i; k < end; ++k) {
      if (spans[k].kind != DiffSpan::Kind::Inserted) change.before += spans[k].text;
      if (spans[k].kind != DiffSpan::Kind::Deleted) change.after += spans[k].text;
    }
    change.before = AtMost(change.before + tail, maxChars);
    change.after = AtMost(change.after + tail, maxChars);
    changes.push_back(std::move(change));
    i = end;
  }
  return changes;
}

}  // namespace skyloom
