#pragma once

#include <QAbstractTableModel>
#include <optional>
#include <vector>

#include "store/forecast_store.h"

namespace skyloom {

// Rows read at a time: a screenful or two, so each read stays a few milliseconds however long
// the tables have grown.
inline constexpr int kHistoryPageRows = 100;

// The stored forecasts, newest first, read a page at a time as a view scrolls to them.
class ForecastListModel final : public QAbstractTableModel {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(ForecastListModel)

 public:
  enum Column { kTimeColumn, kTextColumn, kColumnCount };

  explicit ForecastListModel(ForecastStore& store, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;

  // Puts the forecasts stored since the newest shown on top, or reads from the newest again
  // when more than a page came.
  void Refresh();
  const ForecastRow& Row(int row) const { return rows_[row]; }
  // The forecast stored before the one in `row`; nothing for the first ever stored.
  std::optional<ForecastRow> Previous(int row);

 signals:
  void readFailed(const QString& message);

 private:
  void Failed(const StoreError& error);

  ForecastStore& store_;
  std::vector<ForecastRow> rows_;
  bool atEnd_ = false;
  bool broken_ = false;  // a read failed: the rows may have a gap
};

// The attempt log, newest first, read a page at a time as a view scrolls to it.
class AttemptListModel final : public QAbstractTableModel {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(AttemptListModel)

 public:
  enum Column { kTimeColumn, kStatusColumn, kNumberColumn, kDescriptionColumn, kColumnCount };

  explicit AttemptListModel(ForecastStore& store, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;

  // Puts the attempts logged since the newest shown on top, or reads from the newest again
  // when that one is no longer among the newest page.
  void Refresh();
  const AttemptRow& Row(int row) const { return rows_[row]; }

 signals:
  void readFailed(const QString& message);

 private:
  void Failed(const StoreError& error);

  ForecastStore& store_;
  std::vector<AttemptRow> rows_;
  bool atEnd_ = false;
  bool broken_ = false;  // a read failed: the rows may have a gap
};

}  // namespace skyloom
