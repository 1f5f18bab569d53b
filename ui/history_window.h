#pragma once

#include <QWidget>

#include "platform/clock.h"
#include "schedule/sync_schedule.h"
#include "store/forecast_store.h"
#include "store/pg_store.h"

class QLabel;
class QModelIndex;
class QTableView;
class QTabWidget;
class QTextEdit;
class QTimer;
class QTreeWidget;

namespace skyloom {

class AttemptListModel;
class ForecastListModel;
class SlotPicture;
class StoreReader;

// The stored forecasts with what changed from one to the next, and the attempt log with the
// timed slots of the last two weeks. Rows are read as they come into view, on a thread and
// through a connection of the window's own, so that the window never waits for the database.
class HistoryWindow final : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(HistoryWindow)

 public:
  HistoryWindow(const QString& databaseLocation, PgLimits limits, const Clock& clock,
                SyncWindows schedule = {}, QWidget* parent = nullptr);
  ~HistoryWindow() override;

  // Reads what was stored and logged since, by this program or another collector.
  void Refresh();

  ForecastListModel& Forecasts() { return *forecasts_; }
  AttemptListModel& Attempts() { return *attempts_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QWidget* MakeForecastsTab();
  QWidget* MakeAttemptsTab();
  void ShowForecast(const QModelIndex& current);
  void ShowDifference(const ForecastRow& row, const std::optional<ForecastRow>& previous);
  void ShowFields(const ForecastRow& row);
  void ShowReadError(const QString& message);

  StoreReader* reader_;
  const Clock& clock_;
  const SyncWindows schedule_;
  ForecastListModel* forecasts_;
  AttemptListModel* attempts_;
  QTabWidget* tabs_;
  QTableView* forecastList_ = nullptr;
  QLabel* forecastCaption_ = nullptr;
  QTextEdit* forecastText_ = nullptr;
  QTreeWidget* forecastFields_ = nullptr;
  SlotPicture* picture_ = nullptr;
  QTableView* attemptList_ = nullptr;
  QLabel* status_;
  QTimer* poll_;
};

}  // namespace skyloom
