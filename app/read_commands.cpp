#include "app/read_commands.h"

#include <QFileInfo>
#include <cstdio>

#include "app/terminal_text.h"
#include "serving/json_rows.h"
#include "store/open_store.h"

namespace skyloom {
namespace {

void Print(const QByteArray& bytes) {
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
  std::fflush(stdout);
}

template <typename Row>
QByteArray Lines(const std::vector<Row>& rows, QString (*toText)(const Row&)) {
  QByteArray text;
  for (const Row& row : rows) text += TerminalText(toText(row)).toUtf8() + '\n';
  return text;
}

}  // namespace

std::unique_ptr<ForecastStore> OpenForReading(const CommandLine& line, StoreAccess access) {
  if (!IsServerLocation(line.service.databaseLocation) &&
      !QFileInfo::exists(line.service.databaseLocation)) {
    std::fprintf(stderr, "skyloom: nothing stored yet: there is no database at %s\n",
                 line.service.databaseLocation.toUtf8().constData());
    return nullptr;
  }
  return OpenStore(line.service.databaseLocation, line.service.databaseLimits, access, "command");
}

int RunReadCommand(const CommandLine& line) {
  const std::unique_ptr<ForecastStore> store = OpenForReading(line);
  if (!store) return kNothingStored;
  const int limit = line.mode == CommandLine::Mode::Latest ? 1 : line.count;
  QByteArray output;
  std::optional<StoreError> error;
  bool empty = false;
  if (line.mode == CommandLine::Mode::Log) {
    const auto read = store->NewestAttempts(limit);
    if (!read) error = read.error();
    const std::vector<AttemptRow> rows = read.value_or(std::vector<AttemptRow>());
    empty = rows.empty();
    output =
        line.json ? AttemptsJson(rows) + '\n' : Lines<AttemptRow>(rows, [](const AttemptRow& row) {
          return QStringLiteral("%1\t%2\t%3\t%4")
              .arg(row.logtime, row.status)
              .arg(row.number)
              .arg(row.description);
        });
  } else {
    const auto read = store->NewestForecasts(limit, 0);
    if (!read) error = read.error();
    const std::vector<ForecastRow> rows = read.value_or(std::vector<ForecastRow>());
    empty = rows.empty();
    const bool latest = line.mode == CommandLine::Mode::Latest;
    QString (*text)(const ForecastRow&) = [](const ForecastRow& row) {
      return QStringLiteral("%1\t%2\t%3")
          .arg(row.id)
          .arg(row.logtime, row.text.value_or(QString()));
    };
    if (latest) text = [](const ForecastRow& row) { return row.text.value_or(QString()); };
    if (!empty && line.json) output = (latest ? ForecastJson(rows[0]) : ForecastsJson(rows)) + '\n';
    if (!empty && !line.json) output = Lines<ForecastRow>(rows, text);
  }
  if (error) {
    std::fprintf(stderr, "skyloom: %s\n", error->message.toUtf8().constData());
    return 1;
  }
  if (empty) {
    std::fputs("skyloom: nothing stored yet\n", stderr);
    return kNothingStored;
  }
  Print(output);
  return 0;
}

}  // namespace skyloom
