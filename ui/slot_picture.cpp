#include "ui/slot_picture.h"

#include <QHelpEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace skyloom {
namespace {

struct Look {
  QColor fill;
  QColor border;
};

// Told apart by lightness as well as hue, and errors carry a cross, for readers who do not
// see every colour.
Look LookOf(SlotState state) {
  switch (state) {
    case SlotState::Stored:
      return {QColor(0x1a, 0x98, 0x50), QColor(0x0f, 0x6b, 0x37)};
    case SlotState::Unchanged:
      return {QColor(0x9e, 0xca, 0xe1), QColor(0x5f, 0x97, 0xb8)};
    case SlotState::NothingExtracted:
      return {QColor(0xfd, 0xb8, 0x63), QColor(0xc7, 0x80, 0x2a)};
    case SlotState::Error:
      return {QColor(0xd7, 0x30, 0x27), QColor(0x9b, 0x1c, 0x1c)};
    case SlotState::NoAttempt:
      return {QColor(0xcf, 0xcf, 0xcf), QColor(0xa8, 0xa8, 0xa8)};
    case SlotState::Later:
      break;
  }
  return {QColor(0xff, 0xff, 0xff), QColor(0xbd, 0xbd, 0xbd)};
}

void PaintCell(QPainter& painter, const QRect& rect, SlotState state) {
  const Look look = LookOf(state);
  painter.setPen(QPen(look.border, 1));
  painter.setBrush(look.fill);
  painter.drawRect(rect.adjusted(0, 0, -1, -1));
  if (state == SlotState::Error) {
    const int side = std::max(4, std::min(rect.width(), rect.height()) - 7);
    QRect mark(0, 0, side, side);
    mark.moveCenter(rect.center());
    painter.setPen(QPen(Qt::white, 2));
    painter.drawLine(mark.topLeft(), mark.bottomRight());
    painter.drawLine(mark.topRight(), mark.bottomLeft());
  }
}

}  // namespace

SlotPicture::SlotPicture(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SlotPicture::SetGrid(SlotGrid grid) {
  grid_ = std::move(grid);
  hovered_.reset();
  updateGeometry();
  update();
}

QString SlotPicture::NameOf(SlotState state) {
  switch (state) {
    case SlotState::Stored:
      return tr("Stored");
    case SlotState::Unchanged:
      return tr("Unchanged");
    case SlotState::NothingExtracted:
      return tr("Nothing extracted");
    case SlotState::Error:
      return tr("Error");
    case SlotState::NoAttempt:
      return tr("No attempt");
    case SlotState::Later:
      break;
  }
  return tr("To come");
}

QPixmap SlotPicture::Swatch(SlotState state, int size) {
  QPixmap swatch(size, size);
  swatch.fill(Qt::transparent);
  QPainter painter(&swatch);
  PaintCell(painter, swatch.rect(), state);
  return swatch;
}

int SlotPicture::GapsBefore(int slot) const {
  int gaps = 0;
  for (int i = 1; i <= slot; ++i) gaps += grid_.GapBefore(static_cast<std::size_t>(i)) ? 1 : 0;
  return gaps;
}

QString SlotPicture::DayLabel(int day) const {
  // The weekday in the reader's language; the digits as everywhere else in the window.
  return QLocale().toString(grid_.firstDay.addDays(day), QStringLiteral("ddd MM-dd"));
}

SlotPicture::Metrics SlotPicture::Measure() const {
  const QFontMetrics metrics = fontMetrics();
  Metrics m{};
  m.labelWidth = metrics.horizontalAdvance(QStringLiteral("Wed 12-28"));
  for (int day = 0; day < grid_.days; ++day) {
    m.labelWidth = std::max(m.labelWidth, metrics.horizontalAdvance(DayLabel(day)));
  }
  m.labelWidth += metrics.averageCharWidth();
  m.headerHeight = metrics.height() + 4;
  m.cellWidth = std::max(18, metrics.horizontalAdvance(QStringLiteral("00:00")) + 6);
  m.cellHeight = std::max(16, metrics.height() + 2);
  m.groupGap = std::max(6, metrics.averageCharWidth());
  return m;
}

QRect SlotPicture::CellRect(const Metrics& m, int day, int slot) const {
  // Today on top: the line to look at first.
  const int line = grid_.days - 1 - day;
  return QRect(m.labelWidth + slot * m.cellWidth + GapsBefore(slot) * m.groupGap,
               m.headerHeight + line * m.cellHeight, m.cellWidth - 2, m.cellHeight - 2);
}

QSize SlotPicture::sizeHint() const {
  const Metrics m = Measure();
  const int count = static_cast<int>(grid_.times.size());
  return QSize(m.labelWidth + count * m.cellWidth + GapsBefore(count - 1) * m.groupGap,
               m.headerHeight + std::max(grid_.days, 1) * m.cellHeight);
}

std::optional<std::pair<int, int>> SlotPicture::CellAt(const QPoint& point) const {
  const Metrics m = Measure();
  for (int day = 0; day < grid_.days; ++day) {
    for (int slot = 0; slot < grid_.slotsPerDay; ++slot) {
      if (CellRect(m, day, slot).contains(point)) return std::pair{day, slot};
    }
  }
  return std::nullopt;
}

QString SlotPicture::Details(int day, int slot) const {
  const SlotCell& cell = grid_.At(day, slot);
  const QDateTime end = cell.start.addSecs(grid_.slotMinutes * 60);
  QString text = tr("%1, slot %2 (%3–%4)\n%5")
                     .arg(QLocale().toString(cell.start.date(), QStringLiteral("ddd yyyy-MM-dd")),
                          cell.start.time().toString(QStringLiteral("HH:mm")),
                          cell.start.time().toString(QStringLiteral("HH:mm")),
                          end.time().toString(QStringLiteral("HH:mm")), NameOf(cell.state));
  if (cell.attempt) {
    text += QStringLiteral("\n%1  %2 %3 %4")
                .arg(cell.attempt->logtime, cell.attempt->status)
                .arg(cell.attempt->number)
                .arg(cell.attempt->description);
  }
  return text;
}

bool SlotPicture::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    if (const auto cell = CellAt(help->pos())) {
      QToolTip::showText(help->globalPos(), Details(cell->first, cell->second), this,
                         CellRect(Measure(), cell->first, cell->second));
    } else {
      QToolTip::hideText();
      event->ignore();
    }
    return true;
  }
  return QWidget::event(event);
}

void SlotPicture::mouseMoveEvent(QMouseEvent* event) {
  const auto cell = CellAt(event->position().toPoint());
  if (cell != hovered_) {
    hovered_ = cell;
    update();
  }
  QWidget::mouseMoveEvent(event);
}

void SlotPicture::leaveEvent(QEvent* event) {
  hovered_.reset();
  update();
  QWidget::leaveEvent(event);
}

void SlotPicture::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const Metrics m = Measure();
  const std::vector<QTime>& times = grid_.times;
  painter.setPen(palette().color(QPalette::WindowText));
  for (int slot = 0; slot < static_cast<int>(times.size()); ++slot) {
    const QRect cell = CellRect(m, 0, slot);
    painter.drawText(QRect(cell.left() - 1, 0, m.cellWidth, m.headerHeight), Qt::AlignCenter,
                     times[slot].toString(QStringLiteral("HH:mm")));
  }
  for (int day = 0; day < grid_.days; ++day) {
    const QRect first = CellRect(m, day, 0);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRect(0, first.top(), m.labelWidth - 4, first.height()),
                     Qt::AlignLeft | Qt::AlignVCenter, DayLabel(day));
    for (int slot = 0; slot < grid_.slotsPerDay; ++slot) {
      PaintCell(painter, CellRect(m, day, slot), grid_.At(day, slot).state);
    }
  }
  if (hovered_) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(CellRect(m, hovered_->first, hovered_->second).adjusted(-1, -1, 0, 0));
  }
}

}  // namespace skyloom
