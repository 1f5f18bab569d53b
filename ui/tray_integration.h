#pragma once

#include <QIcon>
#include <QObject>
#include <functional>

class QSystemTrayIcon;

namespace skyloom {

// The window's presence in the notification area: one icon while the window is hidden
// there, its tip with the last attempt, notices, and a request to come back on a plain click
// on the icon or a click on a notice.
class TrayIntegration final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(TrayIntegration)

 public:
  explicit TrayIntegration(QIcon icon, QObject* parent = nullptr);
  ~TrayIntegration() override;

  // Whether a tray host runs to show the icon. An icon Qt reports as visible may still be
  // nowhere on screen, so this asks the desktop rather than the icon.
  bool IsActive() const;
  // For desktops without the usual tray protocol, and for tests.
  void SetAvailabilityCheck(std::function<bool()> check);

  // Shows the icon with the tip "Skyloom"; there is never more than one.
  void ShowIcon();
  void RemoveIcon();
  // The icon while it is shown, else nullptr.
  QSystemTrayIcon* Icon() const { return icon_; }

  // The tip's second line, under "Skyloom": when the last attempt ran and what it did.
  void SetLastAttempt(const QString& line);
  QString ToolTip() const;
  // The tip says so on a line of its own while another collector runs the timed fetches.
  void SetStandby(bool standby);
  // A desktop notice with the beginning of the forecast `text` as a person reads it, while the
  // icon is shown and the desktop takes notices; otherwise nothing happens.
  void ShowNotice(const QString& text);

 signals:
  // A plain left click on the icon or a click on a notice; never for hovering, the context
  // button or a double click.
  void activationRequested();
  // A notice went to the desktop, with the text it shows.
  void noticeShown(const QString& text);

 private:
  QIcon iconImage_;
  QString lastAttempt_;
  bool standby_ = false;
  QSystemTrayIcon* icon_ = nullptr;
  std::function<bool()> available_;
};

}  // namespace skyloom
