#include "ui/tray_integration.h"

#include <QStringList>
#include <QSystemTrayIcon>

#include "ui/forecast_line.h"

namespace skyloom {
namespace {

const QString kName = QStringLiteral("Skyloom");
// Enough to recognise the forecast; the notice is no place to read it.
constexpr int kNoticeChars = 60;
constexpr int kNoticeMs = 10'000;

}  // namespace

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
  icon_->setToolTip(ToolTip());
  connect(icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) emit activationRequested();
          });
  connect(icon_, &QSystemTrayIcon::messageClicked, this, &TrayIntegration::activationRequested);
  icon_->show();
}

void TrayIntegration::SetLastAttempt(const QString& line) {
  lastAttempt_ = line;
  if (icon_) icon_->setToolTip(ToolTip());
}

void TrayIntegration::SetStandby(bool standby) {
  standby_ = standby;
  if (icon_) icon_->setToolTip(ToolTip());
}

QString TrayIntegration::ToolTip() const {
  // The first line stays the program's name alone; what changes goes on the lines below.
  QStringList lines{kName};
  if (standby_) lines << tr("Standing by: another collector runs the timed fetches");
  if (!lastAttempt_.isEmpty()) lines << lastAttempt_;
  return lines.join(u'\n');
}

void TrayIntegration::ShowNotice(const QString& text) {
  if (!icon_ || !QSystemTrayIcon::supportsMessages()) return;
  const QString shown = ForecastLine(text, kNoticeChars);
  icon_->showMessage(tr("%1: a new forecast").arg(kName), shown, iconImage_, kNoticeMs);
  emit noticeShown(shown);
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
