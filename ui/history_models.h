#pragma once

#include <QAbstractTableModel>
#include <QtGlobal>
#include <expected>
#include <functional>
#include <optional>
#include <vector>

#include "history/store_reader.h"
#include "store/forecast_store.h"

namespace skyloom {

// Rows read at a time: a screenful or two, so each read stays a few milliseconds however long
// the tables have grown.
inline constexpr int kHistoryPageRows = 100;

// What both lists share: rows kept newest first, more read as a view scrolls to the end, the
// newest put on top at a refresh, and a failed read that stops reading until then. Reads run
// on the reader's thread; rows arrive later, through the usual model signals.
class PagedListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool canFetchMore(const QModelIndex& parent) const override;

 signals:
  void readFailed(const QString& message);

 protected:
  PagedListModel(StoreReader& reader, int columns, QObject* parent);
  virtual int Count() const = 0;

  // Reads a page after the last row unless one is on its way; `apply` gets it unless a
  // refresh replaced the rows meanwhile.
  template <typename Row>
  void ReadMore(std::function<RowsRead<Row>(ForecastStore&)> read,
                std::function<void(std::vector<Row>)> apply) {
    if (atEnd_ || readingMore_) return;
    readingMore_ = true;
    const quint64 generation = generation_;
    reader_.Read<RowsRead<Row>>(std::move(read), this,
                                [this, generation, apply](const RowsRead<Row>& page) {
                                  readingMore_ = false;
                                  if (generation != generation_) return;
                                  if (!page) return Failed(page.error());
                                  apply(*page);
                                });
  }
  // Adds a page read after the last row; a short page is the end.
  template <typename Row>
  void Append(std::vector<Row>& rows, std::vector<Row> page) {
    atEnd_ = page.size() < static_cast<size_t>(kHistoryPageRows);
    if (page.empty()) return;
    beginInsertRows({}, Count(), Count() + static_cast<int>(page.size()) - 1);
    rows.insert(rows.end(), page.begin(), page.end());
    endInsertRows();
  }
  // Puts the newest page on top: only its rows before `shown`, the index of the newest row
  // shown so far, when that is among them (-1: it is not), else the page replaces everything.
  template <typename Row>
  void ShowNewest(std::vector<Row>& rows, std::vector<Row> newest, qsizetype shown) {
    if (!broken_ && shown >= 0) {
      if (shown == 0) return;
      beginInsertRows({}, 0, static_cast<int>(shown) - 1);
      rows.insert(rows.begin(), newest.begin(), newest.begin() + shown);
      endInsertRows();
      return;
    }
    beginResetModel();
    ++generation_;  // a page read for the old rows no longer fits
    broken_ = false;
    atEnd_ = newest.size() < static_cast<size_t>(kHistoryPageRows);
    rows = std::move(newest);
    endResetModel();
  }
  void Failed(const StoreError& error);

  StoreReader& reader_;

 private:
  const int columns_;
  bool atEnd_ = false;
  bool broken_ = false;  // a read failed: the rows may have a gap
  bool readingMore_ = false;
  quint64 generation_ = 0;
};

// The stored forecasts, newest first, read a page at a time as a view scrolls to them.
class ForecastListModel final : public PagedListModel {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(ForecastListModel)

 public:
  enum Column { kTimeColumn, kTextColumn, kColumnCount };

  explicit ForecastListModel(StoreReader& reader, QObject* parent = nullptr);

  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  void fetchMore(const QModelIndex& parent) override;

  // Puts the forecasts stored since the newest shown on top, or reads from the newest again
  // when more than a page came.
  void Refresh();
  const ForecastRow& Row(int row) const { return rows_[row]; }
  // Calls `done` here with the forecast stored before the one in `row` (nothing for the first
  // ever stored): at once when it is among the rows read, else once it has been read.
  void Previous(int row, std::function<void(const std::optional<ForecastRow>&)> done);

 private:
  int Count() const override { return static_cast<int>(rows_.size()); }

  std::vector<ForecastRow> rows_;
};

// The attempt log, newest first, read a page at a time as a view scrolls to it.
class AttemptListModel final : public PagedListModel {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(AttemptListModel)

 public:
  enum Column { kTimeColumn, kStatusColumn, kNumberColumn, kDescriptionColumn, kColumnCount };

  explicit AttemptListModel(StoreReader& reader, QObject* parent = nullptr);

  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  void fetchMore(const QModelIndex& parent) override;

  // Puts the attempts logged since the newest shown on top, or reads from the newest again
  // when that one is no longer among the newest page.
  void Refresh();
  const AttemptRow& Row(int row) const { return rows_[row]; }

 private:
  int Count() const override { return static_cast<int>(rows_.size()); }

  std::vector<AttemptRow> rows_;
};

}  // namespace skyloom
