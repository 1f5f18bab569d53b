#pragma once

#include <QString>

namespace skyloom {

// Removes runs from "<" to the next ">" for as long as the first "<" comes before the
// first ">". The text is the same as removing one tag and searching again from the start,
// but in one pass: after a removal the text in front holds neither "<" nor ">".
QString StripTags(const QString& text);

}  // namespace skyloom
