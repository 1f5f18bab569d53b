#pragma once

#include <QString>

namespace skyloom::test {

// Tag stripping exactly as first written: find the first "<" and the first ">", cut the run
// between them, and start again from the beginning. Quadratic; the reference for StripTags.
QString StripTagsAsWritten(QString text);

}  // namespace skyloom::test
