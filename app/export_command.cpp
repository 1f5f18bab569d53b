#include "app/export_command.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <cstdio>

#include "app/export_output.h"
#include "app/read_commands.h"
#include "history/readable_text.h"
#include "platform/clock.h"
#include "serving/json_rows.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

constexpr int kPageRows = 1000;

// RFC 4180: a field with a separator, a quote or a line break is quoted, its quotes doubled.
// Other control characters are quoted too, so that no reader takes them for the line's end.
void AppendCsvField(QByteArray& line, QByteArrayView field) {
  bool quoted = false;
  for (const char c : field) {
    if (c == ',' || c == '"' || static_cast<unsigned char>(c) < 0x20) {
      quoted = true;
      break;
    }
  }
  if (!quoted) {
    line.append(field);
    return;
  }
  line.append('"');
  for (const char c : field) {
    if (c == '"') line.append('"');
    line.append(c);
  }
  line.append('"');
}

QByteArray CsvLine(std::initializer_list<QByteArray> fields) {
  QByteArray line;
  for (const QByteArray& field : fields) {
    if (&field != fields.begin()) line.append(',');
    AppendCsvField(line, field);
  }
  line.append("\r\n");
  return line;
}

// The API's own object for one row: its arrays of one, without the brackets.
QByteArray OnlyElement(const QByteArray& array) { return array.mid(1, array.size() - 2); }

QByteArray Text(const QString& text) { return text.toUtf8(); }

QByteArray Time(qint64 seconds) {
  return Text(LogTimeText(QDateTime::fromSecsSinceEpoch(seconds)));
}

// How one table is read a page at a time and written in each format.
template <typename Row>
struct TableExport {
  QByteArray csvHeader;
  QByteArray (*csv)(const Row&);
  QByteArray (*json)(const Row&);
  StoreExpected<std::vector<Row>> (*page)(ForecastStore&, const Row* last, const LogSpan&);
};

const TableExport<ForecastRow> kForecasts{
    "id,logtime,text,readable_text\r\n",
    [](const ForecastRow& row) {
      // A null text stays apart from an empty one only in JSON; a sheet has no null.
      return CsvLine({QByteArray::number(row.id), Text(row.logtime),
                      Text(row.text.value_or(QString())),
                      row.text ? Text(ReadableForecast(*row.text)) : QByteArray()});
    },
    [](const ForecastRow& row) { return ForecastJson(row); },
    [](ForecastStore& store, const ForecastRow* last, const LogSpan& span) {
      return store.ForecastsAfter(last ? std::optional(last->id) : std::nullopt, span, kPageRows);
    }};

const TableExport<AttemptRow> kAttempts{
    "logtime,status,errnum,description\r\n",
    [](const AttemptRow& row) {
      return CsvLine({Text(row.logtime), Text(row.status), QByteArray::number(row.number),
                      Text(row.description)});
    },
    [](const AttemptRow& row) { return OnlyElement(AttemptsJson({row})); },
    [](ForecastStore& store, const AttemptRow* last, const LogSpan& span) {
      return store.AttemptsAfter(last, span, kPageRows);
    }};

// The API leaves the message out of its lists; an export is the whole record.
const TableExport<DeliveryRow> kDeliveries{
    "id,event_id,event,channel,created,tries,next_try,state,last_error,message\r\n",
    [](const DeliveryRow& row) {
      return CsvLine({QByteArray::number(row.id), Text(row.eventId), Text(row.event),
                      Text(row.channel), Time(row.created), QByteArray::number(row.tries),
                      row.state == kDeliveryPending ? Time(row.nextTry) : QByteArray(),
                      Text(row.state), Text(row.lastError), Text(row.message)});
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
  while (output.state() == ExportOutput::State::Open) {
    const auto page = table.page(store, last ? &*last : nullptr, span);
    if (!page) return page.error();
    for (const Row& row : *page) {
      if (format == Format::Csv) {
        output.Write(table.csv(row));
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
