#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>

#include "app/collector.h"
#include "app/sync_driver.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace skyloom {

class TrayIconHost;

// The program's one window: the address, the result of the last fetch, the last timed
// fetch and a running clock, with Get, Clear and UnLock. It owns the collector and the
// one-second driver, and hides into the notification area when minimised.
class Form1 final : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(Form1)

 public:
  Form1(const Clock& clock, const QString& databasePath, const QString& address, HttpLimits limits,
        QWidget* parent = nullptr);
  ~Form1() override;

  SyncDriver& Timer1() { return timer1_; }
  TrayIconHost& Tray() { return *tray_; }
  const FetchState& State() const { return collector_.State(); }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void CreateControls(const QString& address);
  void FormLoad();
  void CmdGetClick();
  void CmdUnlockClick();
  void Command1Click();
  void OnFetchFinished(const QString& storeError);
  void HideToTray();
  void TrayIconClick();

  Collector collector_;
  QIcon icon_;
  QPlainTextEdit* txtHTML_;
  QGroupBox* frame1_;
  QLineEdit* txtAddress_;
  QPushButton* cmdGet_;
  QPushButton* command1_;
  QLabel* clock_;
  QLabel* syntime_;
  QLabel* picIcon_;
  QPushButton* cmdUnlock_;
  TrayIconHost* tray_;
  // Declared last: it refers to the collector and the address box.
  SyncDriver timer1_;
};

}  // namespace skyloom
