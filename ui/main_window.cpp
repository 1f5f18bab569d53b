#include "ui/main_window.h"

#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "platform/program_info.h"
#include "ui/program_icon.h"
#include "ui/tray_integration.h"

namespace skyloom {
namespace {

// The layout was drawn in twips, at 15 twips per pixel.
constexpr int kTwipsPerPixel = 15;

void PlaceInTwips(QWidget* control, int left, int top, int width, int height) {
  control->setGeometry(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                       height / kTwipsPerPixel);
}

// Object names are the controls' names that tools and scripts find them by.
template <typename Control, typename... Args>
Control* Named(const char* name, Args&&... args) {
  auto* control = new Control(std::forward<Args>(args)...);
  control->setObjectName(QLatin1String(name));
  return control;
}

QFont ClockFont() {
  QFont font;
  // Georgia is rare outside Windows; any serif face keeps the look.
  font.setFamilies({QStringLiteral("Georgia"), QStringLiteral("DejaVu Serif")});
  font.setStyleHint(QFont::Serif);
  font.setPointSize(18);
  font.setWeight(QFont::Normal);
  return font;
}

}  // namespace

MainWindow::MainWindow(const Clock& clock, std::unique_ptr<ForecastStore> store,
                       const QString& address, HttpLimits limits, QWidget* parent)
    : QWidget(parent),
      store_(std::move(store)),
      collector_(clock, *store_, limits),
      icon_(ProgramIcon()),
      resultBox_(Named<QPlainTextEdit>("txtHTML", this)),
      frame_(Named<QGroupBox>("Frame1", QStringLiteral("From"), this)),
      addressBox_(Named<QLineEdit>("txtAddress", address, frame_)),
      getButton_(Named<QPushButton>("cmdGet", QStringLiteral("Get"), frame_)),
      clearButton_(Named<QPushButton>("Command1", QStringLiteral("Clear"), frame_)),
      clockLabel_(Named<QLabel>("Clock", this)),
      lastSyncLabel_(Named<QLabel>("syntime", this)),
      iconPicture_(Named<QLabel>("pic_icon", this)),
      unlockButton_(Named<QPushButton>("cmdUnlock", QStringLiteral("UnLock"), frame_)),
      tray_(new TrayIntegration(icon_, this)),
      driver_(
          collector_, [this] { return addressBox_->text(); }, this) {
  setObjectName(QStringLiteral("Form1"));
  driver_.setObjectName(QStringLiteral("Timer1"));
  PlaceControls(address);

  connect(getButton_, &QPushButton::clicked, &driver_, &SyncDriver::FetchNow);
  connect(unlockButton_, &QPushButton::clicked, this, [this] { addressBox_->setEnabled(true); });
  connect(clearButton_, &QPushButton::clicked, resultBox_, &QPlainTextEdit::clear);
  connect(&driver_, &SyncDriver::clockChanged, clockLabel_, &QLabel::setText);
  connect(&driver_, &SyncDriver::resultShown, resultBox_, &QPlainTextEdit::setPlainText);
  connect(&driver_, &SyncDriver::lastSyncChanged, lastSyncLabel_, &QLabel::setText);
  connect(&driver_, &SyncDriver::addressLockRequested, this,
          [this] { addressBox_->setEnabled(false); });
  connect(&driver_, &SyncDriver::fetchStarted, this, [this] { getButton_->setEnabled(false); });
  connect(&driver_, &SyncDriver::fetchFinished, this,
          [this](bool, const QString& storeError) { OnFetchFinished(storeError); });
  connect(tray_, &TrayIntegration::activationRequested, this, &MainWindow::RestoreFromTray);

  setWindowTitle(QStringLiteral("Skyloom Version ") + VersionText());
  driver_.Start();
  addressBox_->setEnabled(false);
}

MainWindow::~MainWindow() {
  // A request still running is ended and logged, but nothing is shown any more.
  driver_.disconnect(this);
  driver_.Stop();
}

void MainWindow::PlaceControls(const QString& address) {
  setFixedSize(8160 / kTwipsPerPixel, 2655 / kTwipsPerPixel);
  setWindowIcon(icon_);

  PlaceInTwips(resultBox_, 120, 1080, 7935, 1095);
  resultBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  resultBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Tab moves on to the address rather than typing into the result.
  resultBox_->setTabChangesFocus(true);

  PlaceInTwips(frame_, 120, 120, 7935, 825);
  PlaceInTwips(addressBox_, 135, 240, 5265, 375);
  addressBox_->setText(address);
  PlaceInTwips(getButton_, 5520, 240, 615, 375);
  PlaceInTwips(clearButton_, 7080, 240, 735, 375);
  PlaceInTwips(unlockButton_, 6240, 240, 735, 375);

  PlaceInTwips(clockLabel_, 4245, 2160, 3810, 435);
  clockLabel_->setFont(ClockFont());
  QPalette palette = clockLabel_->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 128));
  clockLabel_->setPalette(palette);

  PlaceInTwips(lastSyncLabel_, 120, 2280, 3495, 255);

  PlaceInTwips(iconPicture_, 5880, 1320, 855, 735);
  iconPicture_->setPixmap(icon_.pixmap(48));
  iconPicture_->hide();

  setTabOrder(resultBox_, addressBox_);
  setTabOrder(addressBox_, getButton_);
  setTabOrder(getButton_, clearButton_);
  setTabOrder(clearButton_, unlockButton_);
}

void MainWindow::OnFetchFinished(const QString& storeError) {
  // The attempt could not be stored or logged: the operator has to see why.
  if (!storeError.isEmpty()) resultBox_->setPlainText(storeError);
  getButton_->setEnabled(true);
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
  // Without a tray there would be no way back to a hidden window: stay minimised.
  if (!tray_->IsActive()) return;
  // Hiding inside the state change confuses some window managers; do it right after.
  QTimer::singleShot(0, this, [this] {
    if (isMinimized() && isVisible()) HideToTray();
  });
}

void MainWindow::HideToTray() {
  hide();
  tray_->ShowIcon();
}

void MainWindow::RestoreFromTray() {
  tray_->RemoveIcon();
  showNormal();
  raise();
  activateWindow();
}

}  // namespace skyloom
