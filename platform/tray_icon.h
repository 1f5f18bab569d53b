#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>
#include <map>

class QSystemTrayIcon;
class QWidget;

namespace skyloom {

// Messages and flags of the notification-icon call.
inline constexpr int NIM_ADD = 0;
inline constexpr int NIM_DELETE = 2;
inline constexpr unsigned NIF_MESSAGE = 1;
inline constexpr unsigned NIF_ICON = 2;
inline constexpr unsigned NIF_TIP = 4;

// One notification-icon record, as the window fills it for every add and delete.
struct TrayData {
  int cbSize = 0;
  QWidget* hWnd = nullptr;  // identifies the owner only; never dereferenced here
  unsigned uID = 0;
  unsigned uFlags = 0;
  unsigned uCallbackMessage = 0;
  QIcon hIcon;
  QString szTip;  // fixed width; the tip shown ends at the first NUL
};

// The tip text a record shows: szTip up to its first NUL.
QString TipText(const TrayData& data);

// The notification area over QSystemTrayIcon: at most one icon per uID, and a signal only
// for a plain click, never for hovering, the context button or a double click.
class TrayIconHost final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(TrayIconHost)

 public:
  explicit TrayIconHost(QObject* parent = nullptr);
  ~TrayIconHost() override;

  // NIM_ADD shows a new icon for data.uID; NIM_DELETE removes it. False, and nothing
  // changes, when the icon already exists (add), does not exist (delete), or for any other
  // message.
  bool ShellNotifyIcon(int message, const TrayData& data);

  // Whether a tray host is running to show icons. An icon Qt reports as visible may still
  // be nowhere on screen, so this asks the desktop rather than the icon.
  bool Available() const;
  // For desktops without the usual tray protocol, and for tests.
  void SetAvailabilityCheck(std::function<bool()> check);

  int IconCount() const { return static_cast<int>(icons_.size()); }
  QSystemTrayIcon* Icon(unsigned id) const;

 signals:
  // A plain left click on the icon with this uID, when the record asked for messages.
  void clicked(unsigned id);

 private:
  std::map<unsigned, QSystemTrayIcon*> icons_;
  std::function<bool()> available_;
};

}  // namespace skyloom
