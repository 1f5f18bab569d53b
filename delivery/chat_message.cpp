#include "delivery/chat_message.h"

#include <QDate>

#include "delivery/message_text.h"
#include "forecast/forecast_fields.h"

namespace skyloom {

using namespace Qt::StringLiterals;

namespace {

// Text changes shown before "另有 N 处改动".
constexpr size_t kShownTextChanges = 5;

const QString kNone = u"—"_s;

QDate DayOf(const QString& logtime) { return QDate::fromString(logtime.left(10), Qt::ISODate); }

std::optional<ForecastFields> FieldsOf(const Event& event) {
  return event.fields ? event.fields : ParseForecastFields(event.text);
}

qsizetype Utf8Bytes(const QString& text) { return text.toUtf8().size(); }

qsizetype CodePoints(QStringView text) {
  qsizetype count = 0;
  for (const QChar c : text) {
    if (!c.isLowSurrogate()) ++count;
  }
  return count;
}

// The readable text a line per bulletin, and a line per line the page had.
QStringList ReadableLines(const QString& stored) {
  QStringList lines;
  for (const QString& part : MessageForecast(stored).split(u'\n')) {
    QString line;
    qsizetype from = 0;
    while (from < part.size()) {
      qsizetype end = part.indexOf(u'。', from);
      end = end < 0 ? part.size() : end + 1;
      const QString sentence = part.mid(from, end - from);
      if (sentence.contains(u"点钟发布"_s) && !line.trimmed().isEmpty()) {
        lines << line.trimmed();
        line.clear();
      }
      line += sentence;
      from = end;
    }
    if (!line.trimmed().isEmpty()) lines << line.trimmed();
  }
  return lines;
}

QString IssueText(const ForecastFields& fields, const QString& logtime) {
  const ForecastBulletin* lead = LeadBulletin(fields);
  if (!lead) return {};
  const auto issued = IssueTime(*lead, DayOf(logtime));
  if (!issued) return {};
  const QString time = issued->toString(u"yyyy-MM-dd HH"_s) + u"时发布"_s;
  return lead->issuer ? *lead->issuer + u' ' + time : time;
}

void AddChanges(ChatMessage& message, const Event& event, const ForecastComparison& comparison) {
  using Kind = MessageLine::Kind;
  if (comparison.fields.empty() && comparison.text.empty()) return;
  message.body.push_back({Kind::Heading,
                          {(comparison.correction ? u"更正 %1 的预报："_s : u"较上次 %1 的预报："_s)
                               .arg(event.previous->logtime)}});
  for (const FieldChange& change : comparison.fields) {
    message.body.push_back({Kind::Item, {ChangeText(change)}});
  }
  for (size_t i = 0; i < comparison.text.size() && i < kShownTextChanges; ++i) {
    const TextChange& change = comparison.text[i];
    message.body.push_back({Kind::Item, {u"「%1」→「%2」"_s.arg(change.before, change.after)}});
  }
  if (comparison.text.size() > kShownTextChanges) {
    message.body.push_back(
        {Kind::Item, {u"另有 %1 处改动"_s.arg(comparison.text.size() - kShownTextChanges)}});
  }
  message.body.push_back({Kind::Gap, {}});
}

void AddTable(ChatMessage& message, const ForecastFields& fields) {
  using Kind = MessageLine::Kind;
  for (const ForecastBulletin& bulletin : fields.bulletins) {
    if (bulletin.periods.empty()) continue;
    message.body.push_back(
        {Kind::Header, {u"时段"_s, u"天气"_s, u"风"_s, u"最低"_s, u"最高"_s, u"湿度"_s}});
    for (const ForecastPeriod& period : bulletin.periods) {
      const PeriodCells cells = CellsOf(period);
      QStringList row;
      for (const QString& cell :
           {cells.name, cells.sky, cells.wind, cells.low, cells.high, cells.humidity}) {
        row << (cell.isEmpty() ? kNone : cell);
      }
      message.body.push_back({Kind::Row, row});
    }
    message.body.push_back({Kind::Gap, {}});
    return;
  }
}

// A line as one markup writes it, with what the cut needs to know of it.
struct Rendered {
  QString text;
  qsizetype chars = 0;   // characters of its words, without the markup
  qsizetype prefix = 0;  // characters of markup before its words
  bool divisible = false;
};

Rendered RenderLine(const MessageLine& line, Markup markup) {
  using Kind = MessageLine::Kind;
  const bool marked = markup != Markup::Plain;
  QStringList cells;
  for (const QString& cell : line.cells) cells << Inert(cell, markup);
  const QString words = cells.join(u'｜');
  Rendered out;
  out.chars = CodePoints(line.cells.join(u'｜'));
  switch (line.kind) {
    case Kind::Heading:
      out.text = marked ? u"**"_s + words + u"**"_s : words;
      break;
    case Kind::Header:
      switch (markup) {
        case Markup::Plain:
          out.text = words;
          break;
        case Markup::WeCom:
          out.text = u"<font color=\"comment\">"_s + words + u"</font>"_s;
          break;
        case Markup::DingTalk:
          out.text = u"<font color=#808080>"_s + words + u"</font>"_s;
          break;
        case Markup::Feishu:
          out.text = u"<font color='grey'>"_s + words + u"</font>"_s;
          break;
      }
      break;
    case Kind::Row:
      out.text = words;
      if (marked && !cells.isEmpty()) {
        out.text = u"**"_s + cells.front() + u"**"_s + words.mid(cells.front().size());
      }
      break;
    case Kind::Item:
      out.text = u"· "_s + words;
      out.chars += 2;
      break;
    case Kind::Prose:
      out.prefix = markup == Markup::WeCom || markup == Markup::DingTalk ? 2 : 0;
      out.text = (out.prefix ? u"> "_s : QString()) + words;
      out.divisible = true;
      break;
    case Kind::Gap:
      break;
  }
  return out;
}

QString TitleLine(const ChatMessage& message, Markup markup, const QString& keyword) {
  const QString mark = keyword.isEmpty() ? QString() : u"【"_s + keyword + u"】"_s;
  const QString when = Inert(message.when, markup);
  switch (markup) {
    case Markup::Plain:
    case Markup::Feishu:
      return mark + message.headline + u' ' + (markup == Markup::Plain ? message.when : when);
    case Markup::WeCom: {
      const QString colour = message.kind == EventKind::Failure    ? u"warning"_s
                             : message.kind == EventKind::Recovery ? u"info"_s
                                                                   : QString();
      const QString headline =
          colour.isEmpty() ? message.headline
                           : u"<font color=\"%1\">%2</font>"_s.arg(colour, message.headline);
      return mark + u"**"_s + headline + u"** "_s + when;
    }
    case Markup::DingTalk:
      return u"#### "_s + mark + message.headline + u' ' + when;
  }
  return {};
}

QString Note(qsizetype leftOut) { return u"（略去 %1 字）"_s.arg(leftOut); }

QString Render(const ChatMessage& message, const RenderOptions& options, const QString& keyword) {
  const QString separator = options.markup == Markup::DingTalk ? u"  \n"_s : u"\n"_s;
  QStringList head;
  if (options.withTitle) head << TitleLine(message, options.markup, keyword);
  if (!options.tail.isEmpty()) head << options.tail.join(u' ');
  std::vector<Rendered> body;
  for (const MessageLine& line : message.body) body.push_back(RenderLine(line, options.markup));
  while (!body.empty() && body.back().text.isEmpty() && !body.back().divisible) body.pop_back();

  QStringList all = head;
  for (const Rendered& line : body) all << line.text;
  const QString whole = all.join(separator);
  if (options.maxBytes <= 0 || Utf8Bytes(whole) <= options.maxBytes) return whole;

  qsizetype total = 0;
  for (const Rendered& line : body) total += line.chars;
  const QString ellipsis = u"…"_s;
  const qsizetype reserve = Utf8Bytes(separator + ellipsis + separator + Note(total));
  qsizetype budget = options.maxBytes - Utf8Bytes(head.join(separator)) - reserve;
  if (head.isEmpty()) budget += Utf8Bytes(separator);  // the first line has none before it
  if (budget < 0) return CutToBytes(whole, options.maxBytes);

  QStringList kept = head;
  qsizetype used = 0;
  qsizetype leftOut = 0;
  bool cutInside = false;
  bool proseKept = false;
  size_t i = 0;
  for (; i < body.size(); ++i) {
    const qsizetype cost = Utf8Bytes(separator) + Utf8Bytes(body[i].text);
    if (used + cost <= budget) {
      kept << body[i].text;
      used += cost;
      proseKept = proseKept || body[i].divisible;
      continue;
    }
    // Prose is cut inside only when none of it would show otherwise: a text of one long line
    // still shows its start.
    const qsizetype room = budget - used - Utf8Bytes(separator);
    if (body[i].divisible && !proseKept && room > 0) {
      const QString cut = CutToBytes(body[i].text, room);
      const qsizetype shown = CodePoints(cut) - 1 - body[i].prefix;  // less the "…"
      if (shown > 0) {
        kept << cut;
        leftOut += body[i].chars - shown;
        cutInside = true;
        ++i;
      }
    }
    break;
  }
  for (; i < body.size(); ++i) leftOut += body[i].chars;
  while (kept.size() > head.size() && kept.back().isEmpty()) kept.removeLast();
  if (!cutInside) kept << ellipsis;
  kept << Note(leftOut);
  return kept.join(separator);
}

}  // namespace

ForecastComparison CompareWithPrevious(const Event& event) {
  ForecastComparison comparison;
  if (event.kind != EventKind::NewForecast || !event.previous) return comparison;
  const std::optional<ForecastFields> after = FieldsOf(event);
  const std::optional<ForecastFields> before = ParseForecastFields(event.previous->text);
  if (before && after) {
    comparison.correction =
        IsCorrection(*before, DayOf(event.previous->logtime), *after, DayOf(event.logtime));
    comparison.fields = FieldChanges(*before, *after);
  }
  if (comparison.fields.empty()) {
    comparison.text =
        TextChanges(MessageForecast(event.previous->text), MessageForecast(event.text));
  }
  return comparison;
}

ChatMessage ComposeMessage(const Event& event) {
  using Kind = MessageLine::Kind;
  ChatMessage message;
  message.kind = event.kind;
  message.headline = NamesOf(event.kind).headline.toString();
  message.when = event.logtime;
  switch (event.kind) {
    case EventKind::NewForecast: {
      const std::optional<ForecastFields> fields = FieldsOf(event);
      const ForecastComparison comparison = CompareWithPrevious(event);
      message.correction = comparison.correction;
      if (comparison.correction) message.headline = u"更正"_s;
      if (fields) {
        if (const QString issued = IssueText(*fields, event.logtime); !issued.isEmpty()) {
          message.when = issued;
        }
      }
      // A correction is read for what it corrects.
      if (comparison.correction) AddChanges(message, event, comparison);
      if (fields) AddTable(message, *fields);
      if (!comparison.correction) AddChanges(message, event, comparison);
      message.body.push_back({Kind::Heading, {u"全文"_s}});
      for (const QString& line : ReadableLines(event.text)) {
        message.body.push_back({Kind::Prose, {line}});
      }
      break;
    }
    case EventKind::Failure:
      message.body.push_back({Kind::Prose,
                              {u"%1 %2：%3"_s.arg(event.status)
                                   .arg(event.number)
                                   .arg(QString(event.description).replace(u'\n', u' '))}});
      message.body.push_back({Kind::Prose, {u"连续失败 %1 次"_s.arg(event.failures)}});
      break;
    case EventKind::Recovery:
      message.body.push_back(
          {Kind::Prose, {u"%1：此前连续失败 %2 次"_s.arg(event.status).arg(event.failures)}});
      break;
    case EventKind::Test:
      for (const QString& line : event.text.split(u'\n')) {
        message.body.push_back({Kind::Prose, {line}});
      }
      break;
  }
  return message;
}

QString RenderMessage(const ChatMessage& message, const RenderOptions& options) {
  QString text = Render(message, options, {});
  // The keyword goes in once, before the title, where no cut can take it away.
  if (!options.keyword.isEmpty() && !text.contains(options.keyword)) {
    text = Render(message, options, options.keyword);
  }
  return text;
}

QString Inert(const QString& text, Markup markup) {
  if (markup == Markup::Plain) return text;
  static constexpr std::pair<char16_t, char16_t> kLookAlikes[] = {
      {u'<', u'＜'}, {u'>', u'＞'},  {u'*', u'＊'}, {u'_', u'＿'}, {u'`', u'｀'},
      {u'[', u'［'}, {u']', u'］'},  {u'#', u'＃'}, {u'|', u'｜'}, {u'~', u'～'},
      {u'&', u'＆'}, {u'\\', u'＼'}, {u'\n', u' '}, {u'\r', u' '}};
  QString inert = text;
  for (QChar& c : inert) {
    for (const auto& [from, to] : kLookAlikes) {
      if (c == QChar(from)) c = QChar(to);
    }
  }
  return inert;
}

}  // namespace skyloom
