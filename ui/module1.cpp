#include "ui/module1.h"

namespace skyloom {

TrayData trayData;

bool AddTrayIcon(TrayIconHost& tray, QWidget& window, const QIcon& icon) {
  trayData.cbSize = kTrayDataSize;
  trayData.hWnd = &window;
  trayData.uCallbackMessage = kMouseMoveMessage;
  trayData.uID = kTrayIconId;
  trayData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  trayData.hIcon = icon;
  trayData.szTip = QStringLiteral("Skyloom") + QChar(u'\0');
  trayData.szTip = trayData.szTip.leftJustified(kTipLength, QLatin1Char(' '));
  return tray.ShellNotifyIcon(NIM_ADD, trayData);
}

}  // namespace skyloom
