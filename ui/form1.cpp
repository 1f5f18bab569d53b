#include "ui/form1.h"

#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "platform/program_info.h"
#include "platform/tray_icon.h"
#include "ui/module1.h"
#include "ui/program_icon.h"

namespace skyloom {
namespace {

// The layout was drawn in twips, at 15 twips per pixel.
constexpr int kTwipsPerPixel = 15;

void PlaceInTwips(QWidget* control, int left, int top, int width, int height) {
  control->setGeometry(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                       height / kTwipsPerPixel);
}

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

Form1::Form1(const Clock& clock, const QString& databasePath, const QString& address,
             HttpLimits limits, QWidget* parent)
    : QWidget(parent),
      collector_(clock, ForecastStore(databasePath), limits),
      icon_(ProgramIcon()),
      txtHTML_(Named<QPlainTextEdit>("txtHTML", this)),
      frame1_(Named<QGroupBox>("Frame1", QStringLiteral("From"), this)),
      txtAddress_(Named<QLineEdit>("txtAddress", address, frame1_)),
      cmdGet_(Named<QPushButton>("cmdGet", QStringLiteral("Get"), frame1_)),
      command1_(Named<QPushButton>("Command1", QStringLiteral("Clear"), frame1_)),
      clock_(Named<QLabel>("Clock", this)),
      syntime_(Named<QLabel>("syntime", this)),
      picIcon_(Named<QLabel>("pic_icon", this)),
      cmdUnlock_(Named<QPushButton>("cmdUnlock", QStringLiteral("UnLock"), frame1_)),
      tray_(new TrayIconHost(this)),
      timer1_(
          collector_, [this] { return txtAddress_->text(); }, this) {
  setWindowTitle(QStringLiteral("Form1"));
  timer1_.setObjectName(QStringLiteral("Timer1"));
  CreateControls(address);

  connect(cmdGet_, &QPushButton::clicked, this, &Form1::CmdGetClick);
  connect(cmdUnlock_, &QPushButton::clicked, this, &Form1::CmdUnlockClick);
  connect(command1_, &QPushButton::clicked, this, &Form1::Command1Click);
  connect(&timer1_, &SyncDriver::clockChanged, clock_, &QLabel::setText);
  connect(&timer1_, &SyncDriver::resultShown, txtHTML_, &QPlainTextEdit::setPlainText);
  connect(&timer1_, &SyncDriver::lastSyncChanged, syntime_, &QLabel::setText);
  connect(&timer1_, &SyncDriver::addressLockRequested, this,
          [this] { txtAddress_->setEnabled(false); });
  connect(&timer1_, &SyncDriver::fetchStarted, this, [this] { cmdGet_->setEnabled(false); });
  connect(&timer1_, &SyncDriver::fetchFinished, this,
          [this](bool, const QString& storeError) { OnFetchFinished(storeError); });
  connect(tray_, &TrayIconHost::clicked, this, &Form1::TrayIconClick);

  FormLoad();
}

Form1::~Form1() {
  // A request still running is ended and logged, but nothing is shown any more.
  timer1_.disconnect(this);
  timer1_.Stop();
  if (trayData.hWnd == this) trayData = TrayData{};
}

void Form1::CreateControls(const QString& address) {
  setFixedSize(8160 / kTwipsPerPixel, 2655 / kTwipsPerPixel);
  setWindowIcon(icon_);

  PlaceInTwips(txtHTML_, 120, 1080, 7935, 1095);
  txtHTML_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  txtHTML_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  PlaceInTwips(frame1_, 120, 120, 7935, 825);
  PlaceInTwips(txtAddress_, 135, 240, 5265, 375);
  txtAddress_->setText(address);
  PlaceInTwips(cmdGet_, 5520, 240, 615, 375);
  PlaceInTwips(command1_, 7080, 240, 735, 375);
  PlaceInTwips(cmdUnlock_, 6240, 240, 735, 375);

  PlaceInTwips(clock_, 4245, 2160, 3810, 435);
  clock_->setFont(ClockFont());
  QPalette palette = clock_->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 128));
  clock_->setPalette(palette);

  PlaceInTwips(syntime_, 120, 2280, 3495, 255);

  PlaceInTwips(picIcon_, 5880, 1320, 855, 735);
  picIcon_->setPixmap(icon_.pixmap(48));
  picIcon_->hide();

  setTabOrder(txtHTML_, txtAddress_);
  setTabOrder(txtAddress_, cmdGet_);
  setTabOrder(cmdGet_, command1_);
  setTabOrder(command1_, cmdUnlock_);
}

void Form1::FormLoad() {
  setWindowTitle(QStringLiteral("Skyloom Version ") + VersionText());
  timer1_.Start();
  txtAddress_->setEnabled(false);
}

void Form1::CmdGetClick() { timer1_.FetchNow(); }

void Form1::CmdUnlockClick() { txtAddress_->setEnabled(true); }

void Form1::Command1Click() { txtHTML_->clear(); }

void Form1::OnFetchFinished(const QString& storeError) {
  // The attempt could not be stored or logged: the operator has to see why.
  if (!storeError.isEmpty()) txtHTML_->setPlainText(storeError);
  cmdGet_->setEnabled(true);
}

void Form1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
  // Without a tray there would be no way back to a hidden window: stay minimised.
  if (!tray_->Available()) return;
  // Hiding inside the state change confuses some window managers; do it right after.
  QTimer::singleShot(0, this, [this] {
    if (isMinimized() && isVisible()) HideToTray();
  });
}

void Form1::HideToTray() {
  tray_->ShellNotifyIcon(NIM_DELETE, trayData);
  hide();
  AddTrayIcon(*tray_, *this, icon_);
}

void Form1::TrayIconClick() {
  tray_->ShellNotifyIcon(NIM_DELETE, trayData);
  showNormal();
  raise();
  activateWindow();
}

}  // namespace skyloom
