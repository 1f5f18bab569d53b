#include "ui/tray_integration.h"

#include <QSystemTrayIcon>

namespace skyloom {

TrayIntegration::TrayIntegration(QIcon icon, QObject* parent)
    : QObject(parent),
      iconImage_(std::move(icon)),
      available_(&QSystemTrayIcon::isSystemTrayAvailable) {}

TrayIntegration::~TrayIntegration() = default;

bool TrayIntegration::IsActive() const { return available_(); }

void TrayIntegration::SetAvailabilityCheck(std::function<bool()> check) {
  available_ = std::move(check);
}

void TrayIntegration::ShowIcon() {
  if (icon_) return;
  icon_ = new QSystemTrayIcon(iconImage_, this);
  icon_->setToolTip(QStringLiteral("Skyloom"));
  connect(icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) emit activationRequested();
          });
  icon_->show();
}

void TrayIntegration::RemoveIcon() {
  if (!icon_) return;
  QSystemTrayIcon* icon = std::exchange(icon_, nullptr);
  icon->disconnect(this);
  icon->hide();
  // The removal may come from the icon's own activation handler.
  icon->deleteLater();
}

}  // namespace skyloom
