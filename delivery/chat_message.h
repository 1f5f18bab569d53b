#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "forecast/forecast_changes.h"
#include "store/event.h"

namespace skyloom {

// What a new forecast changed since the one before it.
struct ForecastComparison {
  bool correction = false;  // the same issuer and issue time as the one before
  std::vector<FieldChange> fields;
  std::vector<TextChange> text;  // only when the fields cannot tell
};
// Nothing to compare for another kind of event, or without a previous forecast.
ForecastComparison CompareWithPrevious(const Event& event);

// One line of a chat message.
struct MessageLine {
  enum class Kind {
    Heading,  // a section's title
    Header,   // a table's column names
    Row,      // a table row: never cut
    Item,     // one change
    Prose,    // text, cut at a character when nothing else fits
    Gap,      // an empty line between sections
  };
  Kind kind;
  QStringList cells;  // a table's cells; one element for the other kinds
};

// A chat message before any channel's markup: the same words on every channel.
struct ChatMessage {
  EventKind kind = EventKind::NewForecast;
  bool correction = false;
  QString headline;  // "新预报", "更正", "采集失败", "采集恢复", "测试消息"
  QString when;      // "市气象台 2026-12-07 17时发布", or the event's logtime
  std::vector<MessageLine> body;

  // "新预报 市气象台 2026-12-07 17时发布".
  QString Title() const { return headline + u' ' + when; }
};

// The headline and its time; for a new forecast the lead bulletin's periods as a table and
// what changed since the previous forecast (first, for a correction); the full readable text
// last. Never the event's id.
ChatMessage ComposeMessage(const Event& event);

// How a channel marks text up.
enum class Markup { Plain, WeCom, DingTalk, Feishu };

struct RenderOptions {
  Markup markup = Markup::Plain;
  // Of the UTF-8 text, everything included; 0: no limit.
  qsizetype maxBytes = 0;
  // Whether the text starts with the title line (Feishu shows it in the card's header).
  bool withTitle = true;
  // Added before the title, when there is one, if the text does not hold it; empty: none.
  QString keyword;
  // Kept whatever is cut, after the body: the mentions.
  QStringList tail;
};

// The message as one channel's text. Over the limit, lines are dropped from the end of the
// body, a table row never split and a character never cut; a line "…" and a last line saying
// how many characters were left out take their place. Prose is cut inside (at a character)
// only when none of the text would show otherwise.
QString RenderMessage(const ChatMessage& message, const RenderOptions& options);

// Text from outside (the page, a receiver's error) made inert in `markup`: characters that
// would format, link or mention become their full-width look-alikes.
QString Inert(const QString& text, Markup markup);

}  // namespace skyloom
