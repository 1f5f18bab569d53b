#pragma once

#include <QString>

namespace skyloom {

// Where a fetch shows its outcome: the window's result box, or standard output.
class ResultView {
 public:
  virtual ~ResultView() = default;
  virtual void ShowResult(const QString& text) = 0;
};

}  // namespace skyloom
