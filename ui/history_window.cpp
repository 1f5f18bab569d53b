#include "ui/history_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QShortcut>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "forecast/forecast_fields.h"
#include "forecast/readable_text.h"
#include "history/slot_grid.h"
#include "history/store_reader.h"
#include "forecast/text_diff.h"
#include "ui/history_models.h"
#include "ui/slot_picture.h"

namespace skyloom {
namespace {

// Rows another collector writes show within this long while the window is open.
constexpr int kPollMs = 60'000;

const QColor kInsertedText(0x0b, 0x5d, 0x1e);
const QColor kInsertedBack(0xd3, 0xf2, 0xd6);
const QColor kDeletedText(0x9b, 0x1c, 0x1c);
const QColor kDeletedBack(0xfb, 0xdd, 0xda);

// A table rather than a tree: a tree reads another page whenever it lays its rows out anew,
// a table only as it scrolls to the end.
QTableView* MakeList(const char* name, QAbstractItemModel* model, QWidget* parent) {
  auto* list = new QTableView(parent);
  list->setObjectName(QLatin1String(name));
  list->setModel(model);
  list->setShowGrid(false);
  list->setWordWrap(false);
  list->setAlternatingRowColors(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  // Every row the same height: the view never measures rows it does not show.
  QHeaderView* rows = list->verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(list->fontMetrics().height() + 6);
  QHeaderView* columns = list->horizontalHeader();
  columns->setStretchLastSection(true);
  columns->setHighlightSections(false);
  columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // Fitted to the text, not to the rows: measuring rows would read them all.
  const QFontMetrics metrics = list->fontMetrics();
  columns->resizeSection(0, metrics.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) +
                                3 * metrics.averageCharWidth());
  return list;
}

QString LegendHtml() {
  return QStringLiteral(
             "<span style=\"color:%1;background:%2;text-decoration:underline\">&nbsp;%5"
             "&nbsp;</span> <span style=\"color:%3;background:%4;text-decoration:line-through\">"
             "&nbsp;%6&nbsp;</span>")
      .arg(kInsertedText.name(), kInsertedBack.name(), kDeletedText.name(), kDeletedBack.name(),
           HistoryWindow::tr("inserted").toHtmlEscaped(),
           HistoryWindow::tr("deleted").toHtmlEscaped());
}

// The columns of the fields under a forecast, one row per period.
enum FieldColumn { kPeriod, kSky, kWind, kLow, kHigh, kHumidity, kNotRead, kFieldColumns };

QString RangeText(const ValueRange& range, const QString& unit) {
  return range.lowest == range.highest
             ? QString::number(range.lowest) + unit
             : QStringLiteral("%1–%2%3").arg(range.lowest).arg(range.highest).arg(unit);
}

QString TemperatureText(const std::optional<ForecastTemperature>& temperature) {
  if (!temperature) return {};
  const QString degrees = QString::number(temperature->celsius) + u'℃';
  return temperature->day ? *temperature->day + u' ' + degrees : degrees;
}

QString WindText(const ForecastPeriod& period) {
  const QString force = QStringLiteral("级");
  QStringList parts;
  if (period.wind) parts << period.wind->direction + RangeText(period.wind->force, force);
  for (const ForecastGust& gust : period.gusts) {
    parts << (gust.area
                  ? HistoryWindow::tr("%1 gusts %2").arg(*gust.area, RangeText(gust.force, force))
                  : HistoryWindow::tr("gusts %1").arg(RangeText(gust.force, force)));
  }
  return parts.join(QStringLiteral("，"));
}

QString BulletinText(const ForecastBulletin& bulletin) {
  QStringList who;
  if (bulletin.issuer) who << *bulletin.issuer;
  if (bulletin.issuedDay) who << *bulletin.issuedDay;
  if (!bulletin.issuedHour) return who.isEmpty() ? HistoryWindow::tr("Bulletin") : who.join(u' ');
  return HistoryWindow::tr("%1, issued at %2:00").arg(who.join(u' ')).arg(*bulletin.issuedHour);
}

QString NotRead(const QStringList& clauses) { return clauses.join(QStringLiteral("；")); }

}  // namespace

HistoryWindow::HistoryWindow(const QString& databaseLocation, PgLimits limits, const Clock& clock,
                             SyncWindows schedule, QWidget* parent)
    : QWidget(parent, Qt::Window),
      reader_(new StoreReader(databaseLocation, limits, this)),
      clock_(clock),
      schedule_(std::move(schedule)),
      forecasts_(new ForecastListModel(*reader_, this)),
      attempts_(new AttemptListModel(*reader_, this)),
      tabs_(new QTabWidget(this)),
      status_(new QLabel(this)),
      poll_(new QTimer(this)) {
  setObjectName(QStringLiteral("History"));
  setWindowTitle(tr("Skyloom History"));
  tabs_->setObjectName(QStringLiteral("tabHistory"));
  tabs_->addTab(MakeForecastsTab(), tr("Forecasts"));
  tabs_->addTab(MakeAttemptsTab(), tr("Attempts"));

  status_->setObjectName(QStringLiteral("lblStatus"));
  status_->setWordWrap(true);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QPalette palette = status_->palette();
  palette.setColor(QPalette::WindowText, kDeletedText);
  status_->setPalette(palette);
  status_->hide();

  auto* column = new QVBoxLayout(this);
  column->addWidget(tabs_, 1);
  column->addWidget(status_);

  connect(forecasts_, &ForecastListModel::readFailed, this, &HistoryWindow::ShowReadError);
  connect(attempts_, &AttemptListModel::readFailed, this, &HistoryWindow::ShowReadError);
  connect(forecastList_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &HistoryWindow::ShowForecast);
  // The newest forecast is the one to see first.
  connect(forecasts_, &QAbstractItemModel::modelReset, this, [this] {
    if (forecasts_->rowCount() > 0) forecastList_->setCurrentIndex(forecasts_->index(0, 0));
  });
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
          &QWidget::close);
  poll_->setInterval(kPollMs);
  connect(poll_, &QTimer::timeout, this, &HistoryWindow::Refresh);

  // Room for the schedule's slots before the first read.
  picture_->SetGrid(BuildSlotGrid({}, clock_.Now().date(), 1, clock_.Now(), schedule_));

  const QFontMetrics metrics = fontMetrics();
  resize(QSize(metrics.averageCharWidth() * 110, metrics.height() * 36).expandedTo(sizeHint()));
}

HistoryWindow::~HistoryWindow() = default;

QWidget* HistoryWindow::MakeForecastsTab() {
  auto* tab = new QWidget;
  tab->setObjectName(QStringLiteral("tabForecasts"));
  auto* splitter = new QSplitter(Qt::Vertical, tab);
  forecastList_ = MakeList("lstForecasts", forecasts_, splitter);

  auto* detail = new QWidget(splitter);
  forecastCaption_ = new QLabel(detail);
  forecastCaption_->setObjectName(QStringLiteral("lblForecast"));
  forecastCaption_->setWordWrap(true);
  forecastText_ = new QTextEdit(detail);
  forecastText_->setObjectName(QStringLiteral("txtForecast"));
  forecastText_->setReadOnly(true);
  // Chinese strokes need a little more size than Latin text to read comfortably.
  QFont textFont = forecastText_->font();
  textFont.setPointSizeF(textFont.pointSizeF() * 1.2);
  forecastText_->setFont(textFont);
  forecastFields_ = new QTreeWidget(detail);
  forecastFields_->setObjectName(QStringLiteral("treeFields"));
  forecastFields_->setColumnCount(kFieldColumns);
  forecastFields_->setHeaderLabels({tr("Period"), tr("Weather"), tr("Wind"), tr("Lowest"),
                                    tr("Highest"), tr("Humidity"), tr("Not read")});
  forecastFields_->setSelectionMode(QAbstractItemView::NoSelection);
  forecastFields_->setWordWrap(true);
  forecastFields_->hide();
  auto* detailColumn = new QVBoxLayout(detail);
  detailColumn->setContentsMargins(0, 0, 0, 0);
  detailColumn->addWidget(forecastCaption_);
  detailColumn->addWidget(forecastText_, 2);
  detailColumn->addWidget(forecastFields_, 1);

  splitter->setStretchFactor(0, 3);
  splitter->setStretchFactor(1, 2);
  auto* column = new QVBoxLayout(tab);
  column->addWidget(splitter);
  return tab;
}

QWidget* HistoryWindow::MakeAttemptsTab() {
  auto* tab = new QWidget;
  tab->setObjectName(QStringLiteral("tabAttempts"));
  auto* splitter = new QSplitter(Qt::Vertical, tab);

  auto* top = new QWidget(splitter);
  picture_ = new SlotPicture(top);
  picture_->setObjectName(QStringLiteral("picSlots"));

  auto* legend = new QHBoxLayout;
  const int swatchSize = fontMetrics().height() - 2;
  for (const SlotState state :
       {SlotState::Stored, SlotState::Unchanged, SlotState::NothingExtracted, SlotState::Error,
        SlotState::NoAttempt, SlotState::Later}) {
    auto* swatch = new QLabel(top);
    swatch->setPixmap(SlotPicture::Swatch(state, swatchSize));
    legend->addWidget(swatch);
    legend->addWidget(new QLabel(SlotPicture::NameOf(state), top));
    legend->addSpacing(fontMetrics().averageCharWidth() * 2);
  }
  legend->addStretch(1);

  auto* caption =
      new QLabel(tr("Timed slots of the last %1 days; hover over a slot for its attempt.")
                     .arg(kSlotPictureDays),
                 top);
  caption->setWordWrap(true);
  auto* topColumn = new QVBoxLayout(top);
  topColumn->setContentsMargins(0, 0, 0, 0);
  topColumn->addWidget(caption);
  topColumn->addWidget(picture_);
  topColumn->addLayout(legend);

  attemptList_ = MakeList("lstAttempts", attempts_, splitter);
  const QFontMetrics metrics = attemptList_->fontMetrics();
  attemptList_->horizontalHeader()->resizeSection(
      AttemptListModel::kStatusColumn, metrics.horizontalAdvance(kStatusFetchError) +
                                           metrics.height() + 6 * metrics.averageCharWidth());
  attemptList_->horizontalHeader()->resizeSection(
      AttemptListModel::kNumberColumn,
      metrics.horizontalAdvance(
          attempts_->headerData(AttemptListModel::kNumberColumn, Qt::Horizontal).toString()) +
          4 * metrics.averageCharWidth());

  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setCollapsible(0, false);
  auto* column = new QVBoxLayout(tab);
  column->addWidget(splitter);
  return tab;
}

void HistoryWindow::Refresh() {
  status_->hide();
  forecasts_->Refresh();
  attempts_->Refresh();

  const QDate today = clock_.Now().date();
  const auto [from, to] = SlotGridRange(today, kSlotPictureDays);
  reader_->Read<RowsRead<AttemptRow>>(
      [from, to](ForecastStore& store) { return store.AttemptsBetween(from, to); }, this,
      [this, today](const RowsRead<AttemptRow>& rows) {
        if (!rows) ShowReadError(rows.error().message);
        picture_->SetGrid(BuildSlotGrid(rows.value_or(std::vector<AttemptRow>()), today,
                                        kSlotPictureDays, clock_.Now(), schedule_));
      });
}

void HistoryWindow::ShowReadError(const QString& message) {
  status_->setText(tr("The history could not be read: %1").arg(message));
  status_->show();
}

void HistoryWindow::ShowForecast(const QModelIndex& current) {
  forecastText_->clear();
  if (!current.isValid()) {
    forecastCaption_->clear();
    forecastFields_->hide();
    return;
  }
  const ForecastRow row = forecasts_->Row(current.row());
  ShowFields(row);
  forecasts_->Previous(current.row(), [this, row](const std::optional<ForecastRow>& previous) {
    // The selection may have moved on while the forecast before was read.
    const QModelIndex now = forecastList_->currentIndex();
    if (!now.isValid() || forecasts_->Row(now.row()).id != row.id) return;
    ShowDifference(row, previous);
  });
}

void HistoryWindow::ShowDifference(const ForecastRow& row,
                                   const std::optional<ForecastRow>& previous) {
  forecastText_->clear();
  // One entity is one character, in the difference as on the screen.
  const QString text = ReadableForecast(row.text.value_or(QString()));
  if (!previous) {
    forecastCaption_->setText(tr("Stored %1, the first forecast stored.").arg(row.logtime));
    forecastText_->setPlainText(text);
    return;
  }
  forecastCaption_->setText(tr("Stored %1; changes since the forecast of %2: %3")
                                .arg(row.logtime, previous->logtime, LegendHtml()));

  QTextCharFormat same;
  QTextCharFormat inserted;
  inserted.setForeground(kInsertedText);
  inserted.setBackground(kInsertedBack);
  inserted.setFontUnderline(true);
  QTextCharFormat deleted;
  deleted.setForeground(kDeletedText);
  deleted.setBackground(kDeletedBack);
  deleted.setFontStrikeOut(true);
  QTextCursor cursor(forecastText_->document());
  const QString before = ReadableForecast(previous->text.value_or(QString()));
  for (const DiffSpan& span : DiffCharacters(before, text)) {
    const QTextCharFormat& format = span.kind == DiffSpan::Kind::Same       ? same
                                    : span.kind == DiffSpan::Kind::Inserted ? inserted
                                                                            : deleted;
    cursor.insertText(span.text, format);
  }
  forecastText_->moveCursor(QTextCursor::Start);
}

// The periods of each bulletin, under the bulletin's heading; hidden when none can be read.
void HistoryWindow::ShowFields(const ForecastRow& row) {
  forecastFields_->clear();
  const std::optional<ForecastFields> fields =
      row.text ? ParseForecastFields(*row.text) : std::nullopt;
  forecastFields_->setVisible(fields.has_value());
  if (!fields) return;
  for (const ForecastBulletin& bulletin : fields->bulletins) {
    auto* heading = new QTreeWidgetItem(forecastFields_);
    heading->setText(kPeriod, BulletinText(bulletin));
    heading->setText(kNotRead, NotRead(bulletin.unparsed));
    heading->setFirstColumnSpanned(bulletin.unparsed.isEmpty());
    for (const ForecastPeriod& period : bulletin.periods) {
      auto* item = new QTreeWidgetItem(heading);
      item->setText(kPeriod, period.name);
      item->setText(kSky, period.sky.value_or(QString()));
      item->setText(kWind, WindText(period));
      item->setText(kLow, TemperatureText(period.low));
      item->setText(kHigh, TemperatureText(period.high));
      item->setText(kHumidity,
                    period.humidity ? RangeText(*period.humidity, QStringLiteral("%")) : QString());
      item->setText(kNotRead, NotRead(period.unparsed));
    }
  }
  forecastFields_->expandAll();
  for (int column = 0; column < kNotRead; ++column) forecastFields_->resizeColumnToContents(column);
}

void HistoryWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Refresh();
  poll_->start();
}

void HistoryWindow::hideEvent(QHideEvent* event) {
  poll_->stop();
  QWidget::hideEvent(event);
}

}  // namespace skyloom
