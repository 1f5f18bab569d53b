#pragma once

#include <QString>
#include <vector>

namespace skyloom {

struct DiffSpan {
  enum class Kind { Same, Deleted, Inserted };
  Kind kind;
  QString text;
};

// What changed from `before` to `after`, character by character (the forecast is Chinese:
// there are no words to split at), in reading order, a deletion before the insertion that
// replaces it. Neighbouring spans never share a kind; identical texts give one Same span.
std::vector<DiffSpan> DiffCharacters(const QString& before, const QString& after);

}  // namespace skyloom
