#include "platform/tray_icon.h"

#include <QSystemTrayIcon>

namespace skyloom {

QString TipText(const TrayData& data) {
  const qsizetype end = data.szTip.indexOf(QChar(u'\0'));
  return end < 0 ? data.szTip : data.szTip.left(end);
}

TrayIconHost::TrayIconHost(QObject* parent)
    : QObject(parent), available_(&QSystemTrayIcon::isSystemTrayAvailable) {}

TrayIconHost::~TrayIconHost() = default;

bool TrayIconHost::ShellNotifyIcon(int message, const TrayData& data) {
  const auto found = icons_.find(data.uID);
  if (message == NIM_DELETE) {
    if (found == icons_.end()) return false;
    QSystemTrayIcon* icon = found->second;
    icons_.erase(found);
    icon->disconnect(this);
    icon->hide();
    // The delete may come from the icon's own activation handler.
    icon->deleteLater();
    return true;
  }
  if (message != NIM_ADD || found != icons_.end()) return false;

  auto* icon = new QSystemTrayIcon(this);
  if (data.uFlags & NIF_ICON) icon->setIcon(data.hIcon);
  if (data.uFlags & NIF_TIP) icon->setToolTip(TipText(data));
  if (data.uFlags & NIF_MESSAGE) {
    const unsigned id = data.uID;
    connect(icon, &QSystemTrayIcon::activated, this,
            [this, id](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger) emit clicked(id);
            });
  }
  icons_.emplace(data.uID, icon);
  icon->show();
  return true;
}

bool TrayIconHost::Available() const { return available_(); }

void TrayIconHost::SetAvailabilityCheck(std::function<bool()> check) {
  available_ = std::move(check);
}

QSystemTrayIcon* TrayIconHost::Icon(unsigned id) const {
  const auto found = icons_.find(id);
  return found == icons_.end() ? nullptr : found->second;
}

}  // namespace skyloom
