#pragma once

#include <QIcon>

#include "platform/tray_icon.h"

class QWidget;

namespace skyloom {

inline constexpr int kTrayDataSize = 88;
inline constexpr unsigned kTrayIconId = 1;
inline constexpr unsigned kMouseMoveMessage = 512;
inline constexpr int kTipLength = 64;

// The program's one notification-icon record: filled by AddTrayIcon and used with its
// current contents for every add and delete.
extern TrayData trayData;

// Fills trayData for `window` and `icon`, then adds the icon.
bool AddTrayIcon(TrayIconHost& tray, QWidget& window, const QIcon& icon);

}  // namespace skyloom
