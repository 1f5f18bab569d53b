#pragma once

#include <QByteArray>
#include <QString>

#include "store/outbox.h"

namespace skyloom {

// The text of a chat message for `row`: one line saying what happened and when, with the
// event's id, then the readable forecast or the failure's details, at most `maxBytes` of
// UTF-8 (0: no limit).
QString ChatText(const DeliveryRow& row, qsizetype maxBytes);

// A stored forecast as a message shows it: the page's "&nbsp;" as a plain space.
QString MessageForecast(const QString& stored);

// `text` cut to at most `maxBytes` of UTF-8 at a character boundary, ending in "…" when cut.
QString CutToBytes(const QString& text, qsizetype maxBytes);

// The message of a failure or recovery event, as the outbox keeps it.
QString AlertMessage(const QString& event, const QString& logtime, const QString& status,
                     qint64 errnum, const QString& description, int failures);

}  // namespace skyloom
