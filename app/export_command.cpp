#include "app/export_command.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringEncoder>
#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <string>

#include "app/export_output.h"
#include "app/read_commands.h"
#include "forecast/readable_text.h"
#include "platform/clock.h"
#include "serving/json_rows.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

constexpr int kPageRows = 1000;

// RFC 4180: a field with a separator, a quote or a line break is quoted, its quotes doubled.
// Other control characters are quoted too, so that no reader takes them for the line's end.
// Lines are built in a std::string, whose appends cost a copy and nothing more.
void AppendField(std::string& line, QByteArrayView utf8) {
  const bool quoted = std::any_of(utf8.begin(), utf8.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == ',' || c == '"';
  });
  if (!quoted) {
    line.append(utf8.data(), static_cast<size_t>(utf8.size()));
    return;
  }
  line += '"';
  for (const char c : utf8) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

void AppendField(std::string& line, QStringView text) {
  static thread_local QStringEncoder toUtf8(QStringEncoder::Utf8);
  static thread_local QByteArray bytes;
  bytes.resize(toUtf8.requiredSpace(text.size()));
  bytes.resize(toUtf8.appendToBuffer(bytes.data(), text) - bytes.constData());
  AppendField(line, QByteArrayView(bytes));
}

void AppendField(std::string& line, qint64 number) {
  char digits[24];
  const auto written = std::to_chars(std::begin(digits), std::end(digits), number);
  line.append(digits, written.ptr);
}

template <typename... Fields>
void AppendCsvLine(std::string& line, const Fields&... fields) {
  bool first = true;
  ((line += first ? "" : ",", first = false, AppendField(line, fields)), ...);
  line += "\r\n";
}

QStringView OrEmpty(const std::optional<QString>& text) {
  return text ? QStringView(*text) : QStringView();
}

// The API's own object for one row: its arrays of one, without the brackets.
QByteArray OnlyElement(const QByteArray& array) { return array.mid(1, array.size() - 2); }

QString Time(qint64 seconds) { return LogTimeText(QDateTime::fromSecsSinceEpoch(seconds)); }

// How one table is read a page at a time and written in each format.
template <typename Row>
struct TableExport {
  QByteArray csvHeader;
  void (*csv)(const Row&, std::string& line);
  QByteArray (*json)(const Row&);
  StoreExpected<std::vector<Row>> (*page)(ForecastStore&, const Row* last, const LogSpan&);
  // Where a table may be large: a page of CSV lines straight from the database's fields into
  // `lines`, with its last row; its number of rows in `count`.
  StoreExpected<std::optional<Row>> (*csvPage)(ForecastStore&, const Row* last, const LogSpan&,
                                               std::string& lines, int& count) = nullptr;
};

const TableExport<ForecastRow> kForecasts{
    "id,logtime,text,readable_text\r\n",
    [](const ForecastRow& row, std::string& line) {
      // A null text stays apart from an empty one only in JSON; a sheet has no null.
      const QString readable = row.text ? ReadableForecast(*row.text) : QString();
      AppendCsvLine(line, row.id, row.logtime, OrEmpty(row.text), readable);
    },
    [](const ForecastRow& row) { return ForecastJson(row); },
    [](ForecastStore& store, const ForecastRow* last, const LogSpan& span) {
      return store.ForecastsAfter(last ? std::optional(last->id) : std::nullopt, span, kPageRows);
    }};

const TableExport<AttemptRow> kAttempts{
    "logtime,status,errnum,description\r\n",
    [](const AttemptRow& row, std::string& line) {
      AppendCsvLine(line, row.logtime, row.status, row.number, row.description);
    },
    [](const AttemptRow& row) { return OnlyElement(AttemptsJson({row})); },
    [](ForecastStore& store, const AttemptRow* last, const LogSpan& span) {
      return store.AttemptsAfter(last, span, kPageRows);
    },
    [](ForecastStore& store, const AttemptRow* last, const LogSpan& span, std::string& lines,
       int& count) {
      return store.VisitAttemptsAfter(last, span, kPageRows, [&](int index, SqlFieldsView row) {
        if (index == 0) lines.clear();
        count = index + 1;
        const auto field = [&row](size_t i) { return row[i].value_or(QByteArrayView()); };
        AppendCsvLine(lines, field(0), field(1), field(2), field(3));
      });
    }};

// The API leaves the message out of its lists; an export is the whole record.
const TableExport<DeliveryRow> kDeliveries{
    "id,event_id,event,channel,created,tries,next_try,state,last_error,message\r\n",
    [](const DeliveryRow& row, std::string& line) {
      AppendCsvLine(line, row.id, row.eventId, row.event, row.channel, Time(row.created),
                    qint64{row.tries},
                    row.state == kDeliveryPending ? Time(row.nextTry) : QString(), row.state,
                    row.lastError, row.message);
    },
    [](const DeliveryRow& row) {
      QJsonObject object = QJsonDocument::fromJson(OnlyElement(DeliveriesJson({row}))).object();
      object.insert(u"message"_s, row.message);
      return QJsonDocument(object).toJson(QJsonDocument::Compact);
    },
    [](ForecastStore& store, const DeliveryRow* last, const LogSpan& span) {
      return store.DeliveriesAfter(last ? std::optional(last->id) : std::nullopt, span, kPageRows);
    }};

enum class Format { Csv, Json, Ndjson };

template <typename Row>
std::optional<StoreError> WriteTable(ForecastStore& store, const TableExport<Row>& table,
                                     const LogSpan& span, Format format, ExportOutput& output) {
  if (format == Format::Csv) output.Write(table.csvHeader);
  if (format == Format::Json) output.Write("[");
  std::optional<Row> last;
  bool first = true;
  std::string line;
  while (format == Format::Csv && table.csvPage && output.state() == ExportOutput::State::Open) {
    int count = 0;
    const auto read = table.csvPage(store, last ? &*last : nullptr, span, line, count);
    if (!read) return read.error();
    if (count > 0) output.Write(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
    if (count < kPageRows) return std::nullopt;
    last = **read;
  }
  while (output.state() == ExportOutput::State::Open) {
    const auto page = table.page(store, last ? &*last : nullptr, span);
    if (!page) return page.error();
    for (const Row& row : *page) {
      if (format == Format::Csv) {
        line.clear();
        table.csv(row, line);
        output.Write(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
        continue;
      }
      if (format == Format::Json) output.Write(first ? "\n" : ",\n");
      output.Write(table.json(row));
      if (format == Format::Ndjson) output.Write("\n");
      first = false;
    }
    if (page->size() < static_cast<size_t>(kPageRows)) break;
    last = page->back();
  }
  if (format == Format::Json) output.Write(first ? "]\n" : "\n]\n");
  return std::nullopt;
}

}  // namespace

int RunExport(const CommandLine& line) {
  const RecordOptions& options = line.records;
  const std::unique_ptr<ForecastStore> store = OpenForReading(line);
  if (!store) return kNothingStored;
  ExportOutput output(options.output);
  if (!output.Open()) {
    std::fprintf(stderr, "skyloom: %s\n", output.problem().toUtf8().constData());
    return 1;
  }
  if (options.bom) output.Write("\xEF\xBB\xBF");
  const Format format = options.format == u"json"_s     ? Format::Json
                        : options.format == u"ndjson"_s ? Format::Ndjson
                                                        : Format::Csv;
  std::optional<StoreError> error;
  if (options.table == u"forecasts"_s) {
    error = WriteTable(*store, kForecasts, options.span, format, output);
  } else if (options.table == u"attempts"_s) {
    error = WriteTable(*store, kAttempts, options.span, format, output);
  } else {
    error = WriteTable(*store, kDeliveries, options.span, format, output);
  }
  if (error) {
    // Destroying the output without Finish leaves no file behind.
    std::fprintf(stderr, "skyloom: %s\n", error->message.toUtf8().constData());
    return 1;
  }
  if (output.Finish()) return 0;
  if (output.state() == ExportOutput::State::ReaderGone) {
    // End as any filter does when its reader has gone: by the signal, without a word.
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    return 128 + SIGPIPE;
  }
  std::fprintf(stderr, "skyloom: %s\n", output.problem().toUtf8().constData());
  return 1;
}

}  // namespace skyloom
