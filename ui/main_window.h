#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>
#include <memory>

#include "collecting/collector.h"
#include "collecting/sync_driver.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace skyloom {

class HistoryWindow;
class TrayIntegration;

// The program's main window: the address, the result of the last fetch, the last timed
// fetch and a running clock, with Get, Clear, History and UnLock. It owns the store, the
// collector and the one-second driver, and hides into the notification area when minimised.
class MainWindow final : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(MainWindow)

 public:
  MainWindow(const Clock& clock, std::unique_ptr<ForecastStore> store, const QString& address,
             HttpLimits limits, const SyncWindows& schedule = {}, PageMarkers markers = {},
             QWidget* parent = nullptr);
  ~MainWindow() override;

  SyncDriver& Driver() { return driver_; }
  ForecastStore& Store() { return *store_; }
  TrayIntegration& Tray() { return *tray_; }
  const Collector& collector() const { return collector_; }
  // Opens the History window, made on first use.
  void OpenHistory();
  // The History window once opened, else nullptr.
  HistoryWindow* History() const { return history_; }

 protected:
  bool event(QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void LayOutControls(const QString& address);
  // Sizes that follow the font, and the window's fixed size from them.
  void FitToFont();
  void FitWindow();
  void OnFetchFinished(const QString& storeError);
  void HideToTray();
  void RestoreFromTray();

  std::unique_ptr<ForecastStore> store_;
  Collector collector_;
  QIcon icon_;
  QPlainTextEdit* resultBox_;
  QGroupBox* frame_;
  QLineEdit* addressBox_;
  QPushButton* getButton_;
  QPushButton* clearButton_;
  QLabel* clockLabel_;
  QLabel* lastSyncLabel_;
  QLabel* iconPicture_;
  QPushButton* unlockButton_;
  QPushButton* historyButton_;
  TrayIntegration* tray_;
  HistoryWindow* history_ = nullptr;
  // Declared last: it refers to the collector and the address box.
  SyncDriver driver_;
};

}  // namespace skyloom
