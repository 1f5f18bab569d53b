#pragma once

#include <QColor>
#include <QPixmap>
#include <QWidget>
#include <optional>
#include <utility>

#include "history/slot_grid.h"

namespace skyloom {

// The timed slots of the last days at a glance: one line per day, today on top, one cell per
// slot coloured by what its attempt did, the details on hover.
class SlotPicture final : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(SlotPicture)

 public:
  explicit SlotPicture(QWidget* parent = nullptr);

  void SetGrid(SlotGrid grid);
  const SlotGrid& Grid() const { return grid_; }
  // The day (0 the first, oldest) and slot under a point of the widget.
  std::optional<std::pair<int, int>> CellAt(const QPoint& point) const;
  // What the tip over a cell says.
  QString Details(int day, int slot) const;

  static QString NameOf(SlotState state);
  // The legend's sample of a state, as the cells draw it.
  static QPixmap Swatch(SlotState state, int size);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  struct Metrics {
    int labelWidth;
    int headerHeight;
    int cellWidth;
    int cellHeight;
    int groupGap;
  };
  Metrics Measure() const;
  QRect CellRect(const Metrics& metrics, int day, int slot) const;
  // Extra room before a slot that starts a new window.
  int GapsBefore(int slot) const;
  QString DayLabel(int day) const;

  SlotGrid grid_;
  std::optional<std::pair<int, int>> hovered_;
};

}  // namespace skyloom
