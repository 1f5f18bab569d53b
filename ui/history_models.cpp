#include "ui/history_models.h"

#include <QBrush>
#include <QColor>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

#include "ui/forecast_line.h"

namespace skyloom {
namespace {

// Enough of a forecast to tell it from its neighbours in the list.
constexpr int kBeginningChars = 48;

QString Beginning(const std::optional<QString>& text) {
  if (!text) return QStringLiteral("(NULL)");
  return ForecastLine(*text, kBeginningChars);
}

QVariant Header(int section, Qt::Orientation orientation, int role, const QStringList& names) {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || section >= names.size()) return {};
  return names[section];
}

const QIcon& FailureMark() {
  static const QIcon mark = [] {
    QPixmap dot(12, 12);
    dot.fill(Qt::transparent);
    QPainter painter(&dot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xc6, 0x28, 0x28));
    painter.drawEllipse(QRectF(1, 1, 10, 10));
    return QIcon(dot);
  }();
  return mark;
}

}  // namespace

PagedListModel::PagedListModel(StoreReader& reader, int columns, QObject* parent)
    : QAbstractTableModel(parent), reader_(reader), columns_(columns) {}

int PagedListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Count();
}

int PagedListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : columns_;
}

bool PagedListModel::canFetchMore(const QModelIndex& parent) const {
  return !parent.isValid() && !atEnd_;
}

void PagedListModel::Failed(const StoreError& error) {
  // A view asks for more as long as there is more; a broken database must not be asked again
  // on every scroll, only at the next refresh, which reads from the newest again.
  atEnd_ = true;
  broken_ = true;
  emit readFailed(error.message);
}

ForecastListModel::ForecastListModel(StoreReader& reader, QObject* parent)
    : PagedListModel(reader, kColumnCount, parent) {}

QVariant ForecastListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const ForecastRow& row = rows_[index.row()];
  if (role == Qt::DisplayRole) {
    return index.column() == kTimeColumn ? row.logtime : Beginning(row.text);
  }
  if (role == Qt::ForegroundRole && index.column() == kTextColumn && !row.text) {
    return QBrush(Qt::gray);
  }
  return {};
}

QVariant ForecastListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  return Header(section, orientation, role, {tr("Stored"), tr("Forecast")});
}

void ForecastListModel::fetchMore(const QModelIndex& parent) {
  if (!canFetchMore(parent)) return;
  const qint64 before = rows_.empty() ? 0 : rows_.back().id;
  ReadMore<ForecastRow>(
      [before](ForecastStore& store) { return store.NewestForecasts(kHistoryPageRows, before); },
      [this](std::vector<ForecastRow> page) { Append(rows_, std::move(page)); });
}

void ForecastListModel::Refresh() {
  reader_.Read<RowsRead<ForecastRow>>(
      [](ForecastStore& store) { return store.NewestForecasts(kHistoryPageRows, 0); }, this,
      [this](const RowsRead<ForecastRow>& newest) {
        if (!newest) return Failed(newest.error());
        const auto shown =
            std::find_if(newest->begin(), newest->end(), [this](const ForecastRow& row) {
              return !rows_.empty() && row.id <= rows_.front().id;
            });
        // The newest shown is still there: only what came since is new.
        const bool kept = shown != newest->end() && shown->id == rows_.front().id;
        const qsizetype at = kept ? shown - newest->begin() : -1;
        ShowNewest(rows_, *newest, at);
      });
}

void ForecastListModel::Previous(int row,
                                 std::function<void(const std::optional<ForecastRow>&)> done) {
  if (row + 1 < rowCount()) return done(rows_[row + 1]);
  const qint64 id = rows_[row].id;
  reader_.Read<RowsRead<ForecastRow>>(
      [id](ForecastStore& store) { return store.NewestForecasts(1, id); }, this,
      [this, done](const RowsRead<ForecastRow>& before) {
        if (!before) {
          Failed(before.error());
          return done(std::nullopt);
        }
        done(before->empty() ? std::nullopt : std::optional<ForecastRow>(before->front()));
      });
}

AttemptListModel::AttemptListModel(StoreReader& reader, QObject* parent)
    : PagedListModel(reader, kColumnCount, parent) {}

QVariant AttemptListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const AttemptRow& row = rows_[index.row()];
  const bool failed = row.number != 0;
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case kTimeColumn:
          return row.logtime;
        case kStatusColumn:
          return row.status;
        case kNumberColumn:
          return row.number;
        default:
          return row.description;
      }
    case Qt::DecorationRole:
      if (failed && index.column() == kStatusColumn) return FailureMark();
      return {};
    case Qt::ForegroundRole:
      if (failed) return QBrush(QColor(0x9b, 0x1c, 0x1c));
      return {};
    case Qt::BackgroundRole:
      if (failed) return QBrush(QColor(0xfd, 0xec, 0xea));
      return {};
    case Qt::TextAlignmentRole:
      if (index.column() == kNumberColumn) return int(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default:
      return {};
  }
}

QVariant AttemptListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  return Header(section, orientation, role,
                {tr("Time"), tr("Status"), tr("Number"), tr("Description")});
}

void AttemptListModel::fetchMore(const QModelIndex& parent) {
  if (!canFetchMore(parent)) return;
  std::optional<AttemptRow> last;
  if (!rows_.empty()) last = rows_.back();
  ReadMore<AttemptRow>(
      [last](ForecastStore& store) {
        return last ? store.AttemptsBefore(*last, kHistoryPageRows)
                    : store.NewestAttempts(kHistoryPageRows);
      },
      [this](std::vector<AttemptRow> page) { Append(rows_, std::move(page)); });
}

void AttemptListModel::Refresh() {
  reader_.Read<RowsRead<AttemptRow>>(
      [](ForecastStore& store) { return store.NewestAttempts(kHistoryPageRows); }, this,
      [this](const RowsRead<AttemptRow>& newest) {
        if (!newest) return Failed(newest.error());
        const auto shown =
            std::find_if(newest->begin(), newest->end(), [this](const AttemptRow& row) {
              return !rows_.empty() && row.position == rows_.front().position &&
                     row.logtime == rows_.front().logtime;
            });
        const qsizetype at = shown == newest->end() ? -1 : shown - newest->begin();
        ShowNewest(rows_, *newest, at);
      });
}

}  // namespace skyloom
