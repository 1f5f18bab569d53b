#include "ui/main_window.h"

#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <utility>

#include "history/slot_grid.h"
#include "platform/program_info.h"
#include "schedule/sync_schedule.h"
#include "ui/history_window.h"
#include "ui/program_icon.h"
#include "ui/tray_integration.h"

namespace skyloom {
namespace {

// The window as it was drawn, in pixels: it never gets smaller than that, and grows only
// where a larger font needs the room.
constexpr QSize kDrawnSize(544, 177);
constexpr int kDrawnControlHeight = 25;
constexpr int kDrawnResultLines = 4;

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

// The tip's second line: when the last attempt ran and what it did; the log's words as logged,
// the words AttemptFields adds to them in the reader's language.
QString TipLine(const Attempt& attempt) {
  QStringList fields = AttemptFields(attempt);
  const QString time = fields.takeFirst();
  if (attempt.stored.error) {
    fields.front() = MainWindow::tr("store error");
  } else if (StateOf(attempt.stored.logged) == SlotState::NothingExtracted) {
    fields.back() =
        MainWindow::tr("nothing extracted: the page has no forecast between the markers");
  }
  return MainWindow::tr("Last attempt %1  %2").arg(time, fields.join(u' '));
}

}  // namespace

MainWindow::MainWindow(CollectorService& service, QWidget* parent)
    : QWidget(parent),
      service_(service),
      icon_(ProgramIcon()),
      resultBox_(Named<QPlainTextEdit>("txtHTML", this)),
      frame_(Named<QGroupBox>("Frame1", QStringLiteral("From"), this)),
      addressBox_(Named<QLineEdit>("txtAddress", service.Settings().address, frame_)),
      getButton_(Named<QPushButton>("cmdGet", QStringLiteral("Get"), frame_)),
      clearButton_(Named<QPushButton>("Command1", QStringLiteral("Clear"), frame_)),
      clockLabel_(Named<QLabel>("Clock", this)),
      lastSyncLabel_(Named<QLabel>("syntime", this)),
      iconPicture_(Named<QLabel>("pic_icon", this)),
      unlockButton_(Named<QPushButton>("cmdUnlock", QStringLiteral("UnLock"), frame_)),
      historyButton_(Named<QPushButton>("cmdHistory", tr("History"), frame_)),
      tray_(new TrayIntegration(icon_, this)) {
  setObjectName(QStringLiteral("Form1"));
  SyncDriver& driver = service_.Driver();
  driver.setObjectName(QStringLiteral("Timer1"));
  service_.SetAddressSource([this] { return addressBox_->text(); });
  LayOutControls(service.Settings().address);

  connect(getButton_, &QPushButton::clicked, &driver, &SyncDriver::FetchNow);
  connect(unlockButton_, &QPushButton::clicked, this, [this] { addressBox_->setEnabled(true); });
  connect(clearButton_, &QPushButton::clicked, resultBox_, &QPlainTextEdit::clear);
  connect(historyButton_, &QPushButton::clicked, this, &MainWindow::OpenHistory);
  connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this), &QShortcut::activated, this,
          &MainWindow::OpenHistory);
  connect(&driver, &SyncDriver::clockTicked, this,
          [this](const QDateTime& now) { clockLabel_->setText(NowText(now)); });
  connect(&driver, &SyncDriver::lastSyncChanged, this, [this](const QDateTime& lastSync) {
    lastSyncLabel_->setText(kLastSyncPrefix + NowText(lastSync));
    addressBox_->setEnabled(false);
  });
  connect(&driver, &SyncDriver::fetchStarted, this, [this] { getButton_->setEnabled(false); });
  connect(&driver, &SyncDriver::fetchFinished, this, &MainWindow::OnFetchFinished);
  connect(&driver, &SyncDriver::fetchDropped, this, [this] { getButton_->setEnabled(true); });
  connect(tray_, &TrayIntegration::activationRequested, this, &MainWindow::RestoreFromTray);
  connect(&service_, &CollectorService::roleChanged, this,
          [this](CollectorRole role) { tray_->SetStandby(role == CollectorRole::Standby); });

  setWindowTitle(QStringLiteral("Skyloom Version ") + VersionText());
  addressBox_->setEnabled(false);
}

MainWindow::~MainWindow() {
  // The service goes on without a window to show it or an address box to ask.
  service_.Driver().disconnect(this);
  service_.SetAddressSource({});
}

void MainWindow::LayOutControls(const QString& address) {
  setWindowIcon(icon_);
  addressBox_->setText(address);
  // The box is narrower than the address: show where it starts.
  addressBox_->setCursorPosition(0);

  resultBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  resultBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Tab moves on to the address rather than typing into the result.
  resultBox_->setTabChangesFocus(true);

  clockLabel_->setFont(ClockFont());
  QPalette palette = clockLabel_->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 128));
  clockLabel_->setPalette(palette);

  iconPicture_->setPixmap(icon_.pixmap(48));
  iconPicture_->hide();

  // Margins and gaps as drawn: the frame 8 px in, the result box 9 px below it, the clock
  // line at the foot.
  auto* frameRow = new QHBoxLayout(frame_);
  frameRow->setContentsMargins(9, 0, 8, 8);
  frameRow->setSpacing(7);
  frameRow->addWidget(addressBox_, 1);
  for (QPushButton* button : {getButton_, unlockButton_, clearButton_, historyButton_}) {
    frameRow->addWidget(button);
  }
  frame_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

  auto* footRow = new QHBoxLayout;
  footRow->setSpacing(6);
  footRow->addWidget(lastSyncLabel_);
  footRow->addStretch(1);
  footRow->addWidget(iconPicture_);
  footRow->addWidget(clockLabel_);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(8, 8, 7, 3);
  column->setSpacing(0);
  column->addWidget(frame_);
  column->addSpacing(9);
  column->addWidget(resultBox_, 1);
  column->addLayout(footRow);

  setTabOrder(resultBox_, addressBox_);
  setTabOrder(addressBox_, getButton_);
  setTabOrder(getButton_, clearButton_);
  setTabOrder(clearButton_, historyButton_);
  setTabOrder(historyButton_, unlockButton_);
  FitToFont();
}

void MainWindow::FitToFont() {
  const auto fit = [](QWidget* control, int drawnWidth) {
    // The text and the padding the style draws around it; as drawn unless it needs more.
    const QFontMetrics metrics = control->fontMetrics();
    const int height = std::max(kDrawnControlHeight, metrics.height() + 8);
    if (drawnWidth == 0) {
      control->setFixedHeight(height);
      return;
    }
    const int padding =
        2 * control->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, control) + 4;
    const QString& caption = static_cast<QPushButton*>(control)->text();
    control->setFixedSize(std::max(drawnWidth, metrics.horizontalAdvance(caption) + padding),
                          height);
  };
  fit(addressBox_, 0);
  fit(getButton_, 41);
  fit(unlockButton_, 49);
  fit(clearButton_, 49);
  fit(historyButton_, 49);

  const QFontMetrics lines(resultBox_->font());
  resultBox_->setMinimumHeight(
      kDrawnResultLines * lines.lineSpacing() +
      2 * (resultBox_->frameWidth() + static_cast<int>(resultBox_->document()->documentMargin())));
  // Room for the widest clock text, so the line does not jump as the seconds go by.
  const QFontMetrics clockMetrics(clockLabel_->font());
  clockLabel_->setMinimumSize(std::max(254, clockMetrics.horizontalAdvance(NowText(QDateTime(
                                                QDate(2026, 12, 28), QTime(23, 58, 58)))) +
                                                4),
                              std::max(29, clockMetrics.height()));
  FitWindow();
}

void MainWindow::FitWindow() {
  const QSize size = kDrawnSize.expandedTo(minimumSizeHint());
  if (minimumSize() != size || maximumSize() != size) setFixedSize(size);
}

bool MainWindow::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::StyleChange:
      FitToFont();
      break;
    case QEvent::LayoutRequest:
      // A label's new text may need more room than the window has.
      FitWindow();
      break;
    default:
      break;
  }
  return handled;
}

void MainWindow::OpenHistory() {
  if (!history_) {
    const ServiceSettings& settings = service_.Settings();
    history_ = new HistoryWindow(settings.databaseLocation, settings.databaseLimits,
                                 service_.clock(), settings.schedule, this);
    history_->setWindowIcon(icon_);
  }
  history_->show();
  history_->raise();
  history_->activateWindow();
}

void MainWindow::OnFetchFinished(const Attempt& attempt) {
  // An attempt that could not be stored or logged: the operator has to see why.
  resultBox_->setPlainText(attempt.stored.error ? attempt.stored.error->message : attempt.shown);
  getButton_->setEnabled(true);

  tray_->SetLastAttempt(TipLine(attempt));
  // Someone who keeps the window in the tray still hears of a new forecast.
  for (const Event& event : attempt.stored.events) {
    if (event.kind == EventKind::NewForecast && !isVisible() && tray_->Icon()) {
      tray_->ShowNotice(event.text);
    }
  }
  if (history_ && history_->isVisible()) history_->Refresh();
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
