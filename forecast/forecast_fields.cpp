#include "forecast/forecast_fields.h"

#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>
#include <span>

namespace skyloom {
namespace {

// Every heading reads so once stored, the gale-warning one and the plain one alike.
constexpr QStringView kHeadingMark = u"点钟发布：";
constexpr QStringView kEntitySpace = u"&nbsp;";
constexpr QStringView kIssueDays[] = {u"今天", u"昨天", u"前天"};

constexpr QStringView kDays[] = {u"今天", u"明天", u"后天",   u"大后天",
                                 u"今晚", u"今夜", u"明后天", u"明晨"};
constexpr QStringView kDayParts[] = {u"白天", u"夜里",   u"夜间",   u"上午",   u"下午",
                                     u"中午", u"傍晚",   u"晚上",   u"早晨",   u"清晨",
                                     u"凌晨", u"上半夜", u"下半夜", u"前半夜", u"后半夜"};
constexpr QStringView kCompass[] = {u"东北", u"东南", u"西北", u"西南", u"东", u"南", u"西", u"北"};
constexpr QStringView kRangeJoins[] = {u"到", u"-", u"～", u"~"};
constexpr QStringView kColons[] = {u"：", u":"};
constexpr QStringView kMinus[] = {u"-", u"−", u"－", u"零下"};
constexpr QStringView kLows[] = {u"最低温度", u"最低气温"};
constexpr QStringView kHighs[] = {u"最高温度", u"最高气温"};

constexpr int kHighestForce = 17;

// The words a sky is made of: weather, the words that join two of them, and those that
// qualify the weather after them.
enum class SkyWord { Weather, Join, Qualifier };
struct SkyTerm {
  QStringView text;
  SkyWord kind;
};
constexpr SkyTerm kSkyTerms[] = {
    {u"晴", SkyWord::Weather},
    {u"晴天", SkyWord::Weather},
    {u"少云", SkyWord::Weather},
    {u"多云", SkyWord::Weather},
    {u"阴", SkyWord::Weather},
    {u"阴天", SkyWord::Weather},
    {u"雨", SkyWord::Weather},
    {u"阵雨", SkyWord::Weather},
    {u"小阵雨", SkyWord::Weather},
    {u"雷阵雨", SkyWord::Weather},
    {u"雷雨", SkyWord::Weather},
    {u"冰雹", SkyWord::Weather},
    {u"冻雨", SkyWord::Weather},
    {u"毛毛雨", SkyWord::Weather},
    {u"小雨", SkyWord::Weather},
    {u"中雨", SkyWord::Weather},
    {u"大雨", SkyWord::Weather},
    {u"暴雨", SkyWord::Weather},
    {u"大暴雨", SkyWord::Weather},
    {u"特大暴雨", SkyWord::Weather},
    {u"小到中雨", SkyWord::Weather},
    {u"中到大雨", SkyWord::Weather},
    {u"大到暴雨", SkyWord::Weather},
    {u"雨夹雪", SkyWord::Weather},
    {u"雪", SkyWord::Weather},
    {u"阵雪", SkyWord::Weather},
    {u"小雪", SkyWord::Weather},
    {u"中雪", SkyWord::Weather},
    {u"大雪", SkyWord::Weather},
    {u"暴雪", SkyWord::Weather},
    {u"小到中雪", SkyWord::Weather},
    {u"中到大雪", SkyWord::Weather},
    {u"大到暴雪", SkyWord::Weather},
    {u"雾", SkyWord::Weather},
    {u"轻雾", SkyWord::Weather},
    {u"大雾", SkyWord::Weather},
    {u"浓雾", SkyWord::Weather},
    {u"霾", SkyWord::Weather},
    {u"浮尘", SkyWord::Weather},
    {u"扬沙", SkyWord::Weather},
    {u"沙尘暴", SkyWord::Weather},
    {u"强沙尘暴", SkyWord::Weather},
    {u"转", SkyWord::Join},
    {u"到", SkyWord::Join},
    {u"间", SkyWord::Join},
    {u"或", SkyWord::Join},
    {u"伴有", SkyWord::Join},
    {u"有", SkyWord::Qualifier},
    {u"有时有", SkyWord::Qualifier},
    {u"局部", SkyWord::Qualifier},
    {u"局部地区", SkyWord::Qualifier},
    {u"部分地区", SkyWord::Qualifier},
    {u"零星", SkyWord::Qualifier},
    {u"短时", SkyWord::Qualifier},
};

bool IsSpace(QChar c) {
  return c == u' ' || c == u'\u00a0' || c == u'\u3000' || c == u'\t' || c == u'\r' || c == u'\n';
}
bool EndsSentence(QChar c) { return c == u'。'; }
bool EndsClause(QChar c) {
  return EndsSentence(c) || c == u'，' || c == u'；' || c == u',' || c == u';';
}
bool IsDigit(QChar c) { return c >= u'0' && c <= u'9'; }

QStringView Trimmed(QStringView text) {
  while (!text.isEmpty() && IsSpace(text.front())) text = text.sliced(1);
  while (!text.isEmpty() && IsSpace(text.back())) text.chop(1);
  return text;
}

// One pass with one copy: the text may be large, and QString::replace would copy for each.
QString ReadEntities(QStringView stored) {
  QString text;
  text.reserve(stored.size());
  qsizetype from = 0;
  for (qsizetype at = stored.indexOf(kEntitySpace); at >= 0;
       at = stored.indexOf(kEntitySpace, from)) {
    text.append(stored.sliced(from, at - from));
    text.append(u' ');
    from = at + kEntitySpace.size();
  }
  text.append(stored.sliced(from));
  return text;
}

// Each Take… consumes what it read from the start of `rest`, and nothing when it fails.
// The first character is compared alone first: most words differ there, and startsWith is a
// call into the library.
bool StartsWith(QStringView text, QStringView word) {
  return !text.isEmpty() && text.front() == word.front() && text.startsWith(word);
}

bool Take(QStringView& rest, QStringView word) {
  if (!StartsWith(rest, word)) return false;
  rest = rest.sliced(word.size());
  return true;
}

std::optional<QStringView> TakeLongest(QStringView& rest, std::span<const QStringView> words) {
  std::optional<QStringView> best;
  for (const QStringView word : words) {
    if (StartsWith(rest, word) && (!best || word.size() > best->size())) best = word;
  }
  if (best) rest = rest.sliced(best->size());
  return best;
}

// 1 to `maxDigits` ASCII digits; a longer number is none.
std::optional<int> TakeNumber(QStringView& rest, qsizetype maxDigits) {
  qsizetype length = 0;
  int value = 0;
  for (; length < rest.size() && IsDigit(rest[length]); ++length) {
    if (length == maxDigits) return std::nullopt;
    value = value * 10 + (rest[length].unicode() - u'0');
  }
  if (length == 0) return std::nullopt;
  rest = rest.sliced(length);
  return value;
}

// "4到5级", "5级", "70%到95%", "70到95%".
std::optional<ValueRange> TakeRange(QStringView& rest, QStringView unit, int highest) {
  QStringView r = rest;
  const std::optional<int> low = TakeNumber(r, 3);
  if (!low) return std::nullopt;
  const bool unitAfterLow = Take(r, unit);
  std::optional<int> high = low;
  if (TakeLongest(r, kRangeJoins)) {
    high = TakeNumber(r, 3);
    if (!high || !Take(r, unit)) return std::nullopt;
  } else if (!unitAfterLow) {
    return std::nullopt;
  }
  if (*low > *high || *high > highest) return std::nullopt;
  rest = r;
  return ValueRange{*low, *high};
}

bool TakeTime(QStringView& rest) {
  const bool day = TakeLongest(rest, kDays).has_value();
  const bool part = TakeLongest(rest, kDayParts).has_value();
  return day || part;
}

// "今天白天", "明天", "今天夜里到明天": a time, or two joined by 到.
std::optional<QStringView> TakeTimeName(QStringView& rest) {
  QStringView r = rest;
  if (!TakeTime(r)) return std::nullopt;
  if (QStringView more = r; Take(more, u"到") && TakeTime(more)) r = more;
  const QStringView name = rest.first(rest.size() - r.size());
  rest = r;
  return name;
}

bool IsSky(QStringView clause) {
  SkyWord last = SkyWord::Join;  // nothing yet: a join cannot come first
  while (!clause.isEmpty()) {
    const SkyTerm* term = nullptr;
    for (const SkyTerm& candidate : kSkyTerms) {
      if (StartsWith(clause, candidate.text) &&
          (!term || candidate.text.size() > term->text.size())) {
        term = &candidate;
      }
    }
    if (!term || (term->kind == SkyWord::Join && last != SkyWord::Weather)) return false;
    last = term->kind;
    clause = clause.sliced(term->text.size());
  }
  return last == SkyWord::Weather;
}

// "沿江沿海地区阵风6到7级", "阵风9级": the whole clause or nothing.
std::optional<ForecastGust> ReadGust(QStringView clause) {
  const qsizetype at = clause.indexOf(u"阵风");
  if (at < 0) return std::nullopt;
  QStringView rest = clause.sliced(at + 2);
  const std::optional<ValueRange> force = TakeRange(rest, u"级", kHighestForce);
  if (!force || !rest.isEmpty()) return std::nullopt;
  ForecastGust gust{std::nullopt, *force};
  if (at > 0) gust.area = clause.first(at).toString();
  return gust;
}

bool TakeDirection(QStringView& rest) {
  QStringView r = rest;
  Take(r, u"偏");
  if (!TakeLongest(r, kCompass)) return false;
  rest = r;
  return true;
}

// "东到东南风4到5级", with gusts straight after it when there are.
bool ReadWind(QStringView clause, ForecastWind& wind, std::optional<ForecastGust>& gust) {
  QStringView rest = clause;
  if (!TakeDirection(rest)) return false;
  if (QStringView more = rest; Take(more, u"到") && TakeDirection(more)) rest = more;
  if (!Take(rest, u"风")) return false;
  const QStringView direction = clause.first(clause.size() - rest.size());
  const std::optional<ValueRange> force = TakeRange(rest, u"级", kHighestForce);
  if (!force) return false;
  if (!rest.isEmpty()) {
    gust = ReadGust(rest);
    if (!gust) return false;
  }
  wind = {direction.toString(), *force};
  return true;
}

struct TemperatureClause {
  bool low = false;
  std::optional<QStringView> day;
  int celsius = 0;
};

// "明天最低温度：8℃", "最高温度：零下3℃".
std::optional<TemperatureClause> ReadTemperature(QStringView clause) {
  TemperatureClause read;
  read.day = TakeTimeName(clause);
  read.low = TakeLongest(clause, kLows).has_value();
  if (!read.low && !TakeLongest(clause, kHighs)) return std::nullopt;
  TakeLongest(clause, kColons);
  const bool below = TakeLongest(clause, kMinus).has_value();
  const std::optional<int> degrees = TakeNumber(clause, 2);
  if (!degrees || !Take(clause, u"℃") || !clause.isEmpty()) return std::nullopt;
  read.celsius = below ? -*degrees : *degrees;
  return read;
}

// "相对湿度：70%到95%".
std::optional<ValueRange> ReadHumidity(QStringView clause) {
  if (!Take(clause, u"相对湿度")) return std::nullopt;
  TakeLongest(clause, kColons);
  const std::optional<ValueRange> range = TakeRange(clause, u"%", 100);
  if (!range || !clause.isEmpty()) return std::nullopt;
  return range;
}

QStringList Clauses(QStringView text) {
  QStringList clauses;
  qsizetype start = 0;
  for (qsizetype i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !EndsClause(text[i])) continue;
    if (const QStringView clause = Trimmed(text.sliced(start, i - start)); !clause.isEmpty()) {
      clauses << clause.toString();
    }
    start = i + 1;
  }
  return clauses;
}

// Reads one bulletin's clauses in order into its periods.
class BodyReader {
 public:
  explicit BodyReader(ForecastBulletin& bulletin) : bulletin_(bulletin) {}

  void Read(QStringView body) {
    qsizetype start = 0;
    for (qsizetype i = 0; i <= body.size(); ++i) {
      const bool end = i == body.size();
      if (!end && !EndsClause(body[i])) continue;
      Clause(Trimmed(body.sliced(start, i - start)));
      if (end || EndsSentence(body[i])) EndSentence();
      start = i + 1;
    }
    CloseSky();
  }

 private:
  void Clause(QStringView clause) {
    if (clause.isEmpty()) return;
    QStringView rest = clause;
    if (const auto name = TakeTimeName(rest); name && TakeLongest(rest, kColons)) {
      CloseSky();
      bulletin_.periods.emplace_back().name = name->toString();
      skyOpen_ = true;
      day_ = {};
      clause = Trimmed(rest);
      if (clause.isEmpty()) return;
    }
    if (bulletin_.periods.empty()) {
      bulletin_.unparsed << clause.toString();
      return;
    }
    ForecastPeriod& period = bulletin_.periods.back();
    if (skyOpen_ && IsSky(clause)) {
      sky_ = sky_.isNull() ? clause : QStringView(sky_.data(), clause.data() + clause.size());
      return;
    }
    CloseSky();
    if (!Understood(period, clause)) period.unparsed << clause.toString();
  }

  bool Understood(ForecastPeriod& period, QStringView clause) {
    ForecastWind wind;
    std::optional<ForecastGust> gust;
    if (ReadWind(clause, wind, gust)) {
      if (period.wind) return false;
      period.wind = std::move(wind);
      if (gust) period.gusts.push_back(std::move(*gust));
      return true;
    }
    if (auto alone = ReadGust(clause)) {
      period.gusts.push_back(std::move(*alone));
      return true;
    }
    if (const auto read = ReadTemperature(clause)) {
      // A day named before a temperature holds for those after it in the sentence.
      if (read->day) day_ = *read->day;
      std::optional<ForecastTemperature>& slot = read->low ? period.low : period.high;
      if (slot) return false;
      slot = ForecastTemperature{day_.isNull() ? std::nullopt : std::optional(day_.toString()),
                                 read->celsius};
      return true;
    }
    if (const auto humidity = ReadHumidity(clause)) {
      if (period.humidity) return false;
      period.humidity = humidity;
      return true;
    }
    return false;
  }

  // The sky is the run of sky clauses that opens a period's first sentence.
  void CloseSky() {
    if (!sky_.isNull() && !bulletin_.periods.empty())
      bulletin_.periods.back().sky = sky_.toString();
    sky_ = {};
    skyOpen_ = false;
  }

  void EndSentence() {
    CloseSky();
    day_ = {};
  }

  ForecastBulletin& bulletin_;
  bool skyOpen_ = false;
  QStringView sky_;  // null until a sky clause is read
  QStringView day_;  // null until a day is named in the sentence
};

struct Heading {
  qsizetype start = 0;  // where its issuer (or its day, or hour) begins
  qsizetype end = 0;    // after the mark
  ForecastBulletin bulletin;
};

// "市气象台今天17点钟发布：" ending at `mark`, read back no further than `floor`.
Heading ReadHeading(QStringView text, qsizetype mark, qsizetype floor) {
  Heading heading;
  heading.end = mark + kHeadingMark.size();
  qsizetype digits = mark;
  while (digits > floor && IsDigit(text[digits - 1])) --digits;
  if (digits < mark) {
    QStringView number = text.sliced(digits, mark - digits);
    if (const auto hour = TakeNumber(number, 2); hour && *hour <= 23) {
      heading.bulletin.issuedHour = hour;
    } else {
      heading.bulletin.unparsed << text.sliced(digits, mark - digits).toString();
    }
  }
  qsizetype day = digits;
  for (const QStringView word : kIssueDays) {
    if (digits - word.size() >= floor && text.sliced(digits - word.size()).startsWith(word)) {
      day = digits - word.size();
      heading.bulletin.issuedDay = word.toString();
      break;
    }
  }
  // The issuer is a name: it stands alone after a sentence, a blank or the previous heading.
  qsizetype issuer = day;
  while (issuer > floor && !IsSpace(text[issuer - 1]) && !text[issuer - 1].isPunct()) --issuer;
  const bool alone = issuer == floor || IsSpace(text[issuer - 1]) || EndsSentence(text[issuer - 1]);
  if (alone && issuer < day) {
    heading.bulletin.issuer = text.sliced(issuer, day - issuer).toString();
    heading.start = issuer;
  } else {
    heading.start = day;
  }
  return heading;
}

QJsonValue Text(const std::optional<QString>& text) {
  return text ? QJsonValue(*text) : QJsonValue();
}

QJsonArray RangeJson(const ValueRange& range) { return {range.lowest, range.highest}; }

QJsonValue TemperatureJson(const std::optional<ForecastTemperature>& temperature) {
  if (!temperature) return {};
  return QJsonObject{{QStringLiteral("day"), Text(temperature->day)},
                     {QStringLiteral("celsius"), temperature->celsius}};
}

QJsonObject PeriodJson(const ForecastPeriod& period) {
  QJsonArray gusts;
  for (const ForecastGust& gust : period.gusts) {
    gusts.append(QJsonObject{{QStringLiteral("area"), Text(gust.area)},
                             {QStringLiteral("force"), RangeJson(gust.force)}});
  }
  const QJsonValue wind =
      period.wind ? QJsonObject{{QStringLiteral("direction"), period.wind->direction},
                                {QStringLiteral("force"), RangeJson(period.wind->force)}}
                  : QJsonValue();
  return QJsonObject{{QStringLiteral("name"), period.name},
                     {QStringLiteral("sky"), Text(period.sky)},
                     {QStringLiteral("wind"), wind},
                     {QStringLiteral("gusts"), gusts},
                     {QStringLiteral("low"), TemperatureJson(period.low)},
                     {QStringLiteral("high"), TemperatureJson(period.high)},
                     {QStringLiteral("humidity"),
                      period.humidity ? QJsonValue(RangeJson(*period.humidity)) : QJsonValue()},
                     {QStringLiteral("unparsed"), QJsonArray::fromStringList(period.unparsed)}};
}

}  // namespace

std::optional<ForecastFields> ParseForecastFields(QStringView stored) {
  const QString read = ReadEntities(stored);
  const QStringView text(read);
  std::vector<Heading> headings;
  for (qsizetype mark = text.indexOf(kHeadingMark); mark >= 0;
       mark = text.indexOf(kHeadingMark, headings.back().end)) {
    headings.push_back(ReadHeading(text, mark, headings.empty() ? 0 : headings.back().end));
  }
  if (headings.empty()) return std::nullopt;

  ForecastFields fields;
  fields.bulletins.reserve(headings.size());
  for (std::size_t i = 0; i < headings.size(); ++i) {
    ForecastBulletin bulletin = std::move(headings[i].bulletin);
    // Whatever stands before the first heading is kept with the first bulletin, unread.
    if (i == 0) bulletin.unparsed = Clauses(text.first(headings[0].start)) + bulletin.unparsed;
    BodyReader reader(bulletin);
    const qsizetype end = i + 1 < headings.size() ? headings[i + 1].start : text.size();
    reader.Read(text.sliced(headings[i].end, end - headings[i].end));
    fields.bulletins.push_back(std::move(bulletin));
  }
  return fields;
}

QJsonValue ForecastFieldsJson(const std::optional<ForecastFields>& fields) {
  if (!fields) return {};
  QJsonArray bulletins;
  for (const ForecastBulletin& bulletin : fields->bulletins) {
    QJsonArray periods;
    for (const ForecastPeriod& period : bulletin.periods) periods.append(PeriodJson(period));
    bulletins.append(
        QJsonObject{{QStringLiteral("issuer"), Text(bulletin.issuer)},
                    {QStringLiteral("issued_day"), Text(bulletin.issuedDay)},
                    {QStringLiteral("issued_hour"),
                     bulletin.issuedHour ? QJsonValue(*bulletin.issuedHour) : QJsonValue()},
                    {QStringLiteral("periods"), periods},
                    {QStringLiteral("unparsed"), QJsonArray::fromStringList(bulletin.unparsed)}});
  }
  return QJsonObject{{QStringLiteral("bulletins"), bulletins}};
}

PredictedTemperatures TemperatureExtremes(const ForecastFields& fields) {
  PredictedTemperatures extremes;
  for (const ForecastBulletin& bulletin : fields.bulletins) {
    for (const ForecastPeriod& period : bulletin.periods) {
      if (period.low) {
        extremes.lowest =
            std::min(extremes.lowest.value_or(period.low->celsius), period.low->celsius);
      }
      if (period.high) {
        extremes.highest =
            std::max(extremes.highest.value_or(period.high->celsius), period.high->celsius);
      }
    }
  }
  return extremes;
}

}  // namespace skyloom
