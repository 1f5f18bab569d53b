#pragma once

#include <QString>

#include "store/event.h"

namespace skyloom {

// The plain text of a chat message for `event` (format=text): one line saying what happened
// and when, with the event's id, then the readable forecast or the failure's details, at most
// `maxBytes` of UTF-8 (0: no limit). A `keyword` the text lacks goes before it, as "【WORD】".
QString ChatText(const Event& event, qsizetype maxBytes, const QString& keyword = {});

// A stored forecast as a message shows it: the page's "&nbsp;" as a plain space.
QString MessageForecast(const QString& stored);

// `text` cut to at most `maxBytes` of UTF-8 at a character boundary, ending in "…" when cut.
QString CutToBytes(const QString& text, qsizetype maxBytes);

}  // namespace skyloom
