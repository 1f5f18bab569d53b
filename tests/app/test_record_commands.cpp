#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "../faults/skyloom_process.h"
#include "forecast/readable_text.h"
#include "store/open_store.h"
#include "support/test_database.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

// Another program's output: standard output, with its exit status checked.
QByteArray Output(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  process.waitForFinished(60000);
  EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
  return process.readAllStandardOutput();
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonArray JsonOf(const QByteArray& text) { return QJsonDocument::fromJson(text).array(); }

QJsonArray Reversed(const QJsonArray& array) {
  QJsonArray reversed;
  for (qsizetype i = array.size() - 1; i >= 0; --i) reversed.append(array[i]);
  return reversed;
}

// `count` attempts logged at `logtime`, each described by its number, in one statement short
// enough to be one argument of psql.
QString ManyAttempts(int count, const QString& logtime) {
  QStringList rows;
  for (int i = 1; i <= count; ++i) rows << u"('%1','s',0,'%2')"_s.arg(logtime).arg(i);
  return u"INSERT INTO tqlog(logtime, errstat, errnum, errdes) VALUES "_s + rows.join(u',');
}

class Export : public testing::TestWithParam<test::Backend> {
 protected:
  QByteArray Run(QStringList arguments) {
    const test::OnceRun run = test::RunProgram(arguments << u"--db"_s << db->Location());
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return run.out.toUtf8();
  }

  std::unique_ptr<test::TestDatabase> db = test::MakeTestDatabase(GetParam());
};

// Pages of a thousand, a span of time, and the API's objects row for row on both backends.
TEST_P(Export, GivesTheReadCommandsObjectsOldestFirstAcrossPages) {
  const std::unique_ptr<ForecastStore> store = OpenStore(db->Location());
  ASSERT_TRUE(store->CreateTables());
  for (const QString& text : {u"台今天6点钟发布：今天：晴。"_s, u"阴"_s}) {
    ASSERT_EQ(store->Record(FetchResult{0, {}, text}).error, std::nullopt);
  }
  db->Exec(
      u"INSERT INTO outbox(event_id, event, channel, message, created, next_try) VALUES "
      u"('e1', 'failure', 'a', '{\"x\":1}', 0, 0), ('e1', 'failure', 'b', '{\"x\":1}', 0, 0)"_s);
  // Rows of one second, told apart by their place alone, across the page boundary.
  db->Exec(ManyAttempts(2500, u"2001-02-03 04:05:06"_s));

  const QJsonArray attempts = JsonOf(Run({u"--export"_s, u"attempts"_s, u"--format"_s, u"json"_s}));
  ASSERT_EQ(attempts.size(), 2502);
  EXPECT_EQ(attempts, Reversed(JsonOf(Run({u"--log"_s, u"9999"_s, u"--json"_s}))));
  // CSV comes straight from the database's fields, by a path of its own.
  const QStringList csv = QString::fromUtf8(Run({u"--export"_s, u"attempts"_s})).split(u"\r\n"_s);
  ASSERT_EQ(csv.size(), attempts.size() + 2);  // the header, and after the last line's end
  for (qsizetype i = 0; i < attempts.size(); ++i) {
    const QJsonValue row = attempts[i];
    EXPECT_EQ(csv[i + 1],
              u"%1,%2,%3,%4"_s.arg(row[u"logtime"_s].toString(), row[u"status"_s].toString())
                  .arg(row[u"errnum"_s].toInt())
                  .arg(row[u"description"_s].toString()));
  }
  const QJsonArray forecasts =
      JsonOf(Run({u"--export"_s, u"forecasts"_s, u"--format"_s, u"json"_s}));
  EXPECT_EQ(forecasts, Reversed(JsonOf(Run({u"--history"_s, u"9"_s, u"--json"_s}))));

  const QList<QByteArray> lines =
      Run({u"--export"_s, u"deliveries"_s, u"--format"_s, u"ndjson"_s}).split('\n');
  const QJsonArray deliveries = Reversed(JsonOf(Run({u"--deliveries"_s, u"9"_s, u"--json"_s})));
  ASSERT_EQ(lines.size(), deliveries.size() + 1);  // and the last line's end
  for (qsizetype i = 0; i < deliveries.size(); ++i) {
    QJsonObject line = QJsonDocument::fromJson(lines[i]).object();
    EXPECT_EQ(line.take(u"message"_s), u"{\"x\":1}"_s);
    EXPECT_EQ(line, deliveries[i].toObject());
  }

  const QJsonArray early = JsonOf(
      Run({u"--export"_s, u"attempts"_s, u"--format"_s, u"json"_s, u"--until"_s, u"2001-02-03"_s}));
  QJsonArray logtimeEarly;
  for (const QJsonValue& row : attempts) {
    if (row[u"logtime"_s].toString().startsWith(u"2001-"_s)) logtimeEarly.append(row);
  }
  EXPECT_EQ(early, logtimeEarly);
  const QJsonArray late = JsonOf(Run({u"--export"_s, u"attempts"_s, u"--format"_s, u"json"_s,
                                      u"--since"_s, u"2001-02-03 04:05:07"_s}));
  EXPECT_EQ(late.size(), 2);
  EXPECT_EQ(late[0][u"description"_s], u"成功写入"_s);
}

INSTANTIATE_TEST_SUITE_P(Backends, Export,
                         testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
                         [](const auto& info) { return test::BackendName(info.param); });

// What Python's csv module and sqlite3's .import read back is every field as stored.
TEST(ExportCsv, ReadsBackFieldForFieldWithAndWithoutTheMark) {
  const std::unique_ptr<test::TestDatabase> db = test::MakeTestDatabase(test::Backend::Sqlite);
  const std::unique_ptr<ForecastStore> store = OpenStore(db->Location());
  ASSERT_TRUE(store->CreateTables());
  const QStringList texts{u"今天：晴，&nbsp;夜里\"多云\"。"_s, u"a,b\nc\r\nd\re"_s,
                          u"tab\tbell\x07esc\x1b[0m\x7f"_s, u"\"\""_s, u" padded "_s};
  for (const QString& text : texts)
    ASSERT_EQ(store->Record(FetchResult{0, {}, text}).error, std::nullopt);
  ASSERT_EQ(store->Record(FetchResult{7, u"refused, \"x\"\nnext"_s, std::nullopt}).error,
            std::nullopt);
  db->Exec(u"INSERT INTO tq(logtime, tqyb) VALUES ('2026-12-07 06:15:03', NULL)"_s);

  QJsonArray expected{QJsonArray{u"id"_s, u"logtime"_s, u"text"_s, u"readable_text"_s}};
  for (const test::TqRow& row : db->Tq()) {
    const QString text = row.tqyb.toString();
    expected.append(QJsonArray{QString::number(row.id), row.logtime, text,
                               row.tqyb.isNull() ? QString() : ReadableForecast(text)});
  }
  QJsonArray attempts{QJsonArray{u"logtime"_s, u"status"_s, u"errnum"_s, u"description"_s}};
  for (const test::TqlogRow& row : db->Tqlog()) {
    attempts.append(QJsonArray{row.logtime, row.errstat, QString::number(row.errnum), row.errdes});
  }

  const QTemporaryDir out;
  const auto exportTo = [&](const QString& table, const QString& name, QStringList more = {}) {
    const test::OnceRun run =
        test::RunProgram(QStringList{u"--export"_s, table, u"--db"_s, db->Location(), u"--output"_s,
                                     out.filePath(name)} +
                         more);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return out.filePath(name);
  };
  const QString forecasts = exportTo(u"forecasts"_s, u"f.csv"_s);
  EXPECT_EQ(ReadFile(exportTo(u"forecasts"_s, u"bom.csv"_s, {u"--bom"_s})),
            "\xEF\xBB\xBF" + ReadFile(forecasts));
  EXPECT_TRUE(ReadFile(forecasts).startsWith("id,logtime,text,readable_text\r\n"));

  const char* python =
      "import csv, json, sys\n"
      "print(json.dumps(list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8-sig')))))";
  for (const auto& [file, rows] :
       {std::pair{forecasts, expected}, std::pair{exportTo(u"attempts"_s, u"a.csv"_s), attempts}}) {
    EXPECT_EQ(JsonOf(Output(u"python3"_s, {u"-c"_s, QString::fromLatin1(python), file})), rows);
    // .import takes the header for the columns' names; -json gives the rows back.
    const QString imported = out.filePath(u"imported.db"_s);
    QFile::remove(imported);
    Output(u"sqlite3"_s, {imported, u".import --csv %1 t"_s.arg(file)});
    QJsonArray back{rows[0]};
    for (const QJsonValue& row :
         JsonOf(Output(u"sqlite3"_s, {u"-json"_s, imported, u"SELECT * FROM t"_s}))) {
      QJsonArray fields;
      for (const QJsonValue& name : rows[0].toArray()) fields.append(row[name.toString()]);
      back.append(fields);
    }
    EXPECT_EQ(back, rows);
  }
}

// A reader that stops reading ends the export by the signal, without a word.
TEST(ExportCsv, EndsQuietlyWhenTheReaderGoesAway) {
  const test::ScratchDb db;
  db.Exec(
      u"CREATE TABLE tq(id INTEGER PRIMARY KEY AUTOINCREMENT, logtime TEXT, tqyb TEXT);"
      "CREATE TABLE tqlog(logtime TEXT, errstat TEXT, errnum INTEGER, errdes TEXT);"_s +
      ManyAttempts(20000, u"2026-12-07 06:15:03"_s));
  const QByteArray status =
      Output(u"bash"_s, {u"-c"_s,
                         u"\"$0\" --export attempts --db \"$1\" 2>\"$1.err\" | head -n 1; "
                         "echo \"${PIPESTATUS[0]}\"; cat \"$1.err\""_s,
                         QStringLiteral(SKYLOOM_EXECUTABLE), db.Path()});
  EXPECT_EQ(status, "logtime,status,errnum,description\r\n141\n");
}

constexpr char kTables[] =
    "CREATE TABLE tq(id INTEGER PRIMARY KEY AUTOINCREMENT, logtime TEXT, tqyb TEXT);"
    "CREATE TABLE tqlog(logtime TEXT, errstat TEXT, errnum INTEGER, errdes TEXT);";

QStringList Lines(const QByteArray& output) {
  return QString::fromUtf8(output).split(u'\n', Qt::SkipEmptyParts);
}

class Backup : public testing::TestWithParam<const char*> {};

// Each copy taken while another program commits a forecast and its log row at a time is
// sound and holds the history up to one of those commits.
TEST_P(Backup, CopiesAPrefixOfTheHistoryWhileAnotherProgramWrites) {
  const test::ScratchDb db;
  db.Exec(QLatin1String(kTables) + u"PRAGMA journal_mode=%1"_s.arg(QLatin1String(GetParam())));
  QProcess writer;
  writer.start(u"python3"_s, {u"-c"_s,
                              uR"py(import sqlite3, sys
db = sqlite3.connect(sys.argv[1], timeout=30, isolation_level=None)
for i in range(1, 10**9):
    db.execute("BEGIN IMMEDIATE")
    db.execute("INSERT INTO tq(logtime, tqyb) VALUES (datetime('now'), ?)", (str(i),))
    db.execute("INSERT INTO tqlog VALUES (datetime('now'), '正常获取', 0, ?)", (str(i),))
    db.execute("COMMIT")
    if i == 50:
        print("written", flush=True))py"_s,
                              db.Path()});
  ASSERT_TRUE(writer.waitForStarted());
  // Not read here meanwhile: a reader without a busy wait would fail on the writer's lock.
  ASSERT_TRUE(writer.waitForReadyRead(30000));
  const QTemporaryDir out;
  const QString copy = out.filePath(u"copy.mdb"_s);
  std::vector<QStringList> copies;
  while (copies.size() < 3) {
    const test::OnceRun backup = test::RunProgram({u"--backup"_s, copy, u"--db"_s, db.Path()});
    ASSERT_EQ(backup.exitCode, 0) << backup.err.toStdString();
    EXPECT_EQ(test::RunProgram({u"--check-db"_s, u"--db"_s, copy}).exitCode, 0);
    copies.push_back(
        Lines(Output(u"sqlite3"_s, {copy, u"SELECT errdes FROM tqlog ORDER BY rowid"_s})));
    EXPECT_EQ(Lines(Output(u"sqlite3"_s, {copy, u"SELECT tqyb FROM tq ORDER BY id"_s})),
              copies.back());
  }
  writer.kill();
  writer.waitForFinished();
  const QStringList history =
      Lines(Output(u"sqlite3"_s, {db.Path(), u"SELECT errdes FROM tqlog ORDER BY rowid"_s}));
  for (const QStringList& rows : copies) EXPECT_EQ(rows, history.first(rows.size()));
  EXPECT_GT(copies.front().size(), 0);
  EXPECT_LT(copies.front().size(), history.size());  // taken while the writer wrote
  EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"copy.mdb"_s});
}

INSTANTIATE_TEST_SUITE_P(Journals, Backup, testing::Values("WAL", "DELETE"));

// A folder the user cannot write gets neither a copy nor an export, nor any part of one.
TEST(Backup, AndExportLeaveNothingWhereTheyCannotWrite) {
  const test::ScratchDb db;
  db.Exec(QLatin1String(kTables) +
          u"INSERT INTO tqlog VALUES ('2026-12-07 06:15:03', 'a', 0, 'b')"_s);
  ASSERT_EQ(::chmod(QFile::encodeName(db.Folder()).constData(), 0755), 0);
  const QTemporaryDir out;
  ASSERT_EQ(::chmod(QFile::encodeName(out.path()).constData(), 0555), 0);
  test::ProgramOptions nobody;
  nobody.unprivileged = true;
  for (const QStringList& command :
       {QStringList{u"--backup"_s, out.filePath(u"copy.mdb"_s)},
        QStringList{u"--export"_s, u"attempts"_s, u"--output"_s, out.filePath(u"a.csv"_s)}}) {
    const test::OnceRun run = test::RunProgram(command + QStringList{u"--db"_s, db.Path()}, nobody);
    EXPECT_EQ(run.exitCode, 1) << command[0].toStdString();
    EXPECT_TRUE(run.err.contains(out.path())) << run.err.toStdString();
    EXPECT_TRUE(QDir(out.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
  }
  ::chmod(QFile::encodeName(out.path()).constData(), 0700);
}

struct DatabaseCase {
  const char* name;
  test::Backend backend;
  const char* sql;  // run after one forecast is stored
  bool corrupt;     // bytes of a table's page overwritten
  const char* command;
  int exitCode;
  const char* says;
};
void PrintTo(const DatabaseCase& c, std::ostream* out) { *out << c.name; }

class CheckDb : public testing::TestWithParam<DatabaseCase> {};

TEST_P(CheckDb, TellsASoundDatabaseFromAnUnsoundOne) {
  const DatabaseCase& c = GetParam();
  const std::unique_ptr<test::TestDatabase> db = test::MakeTestDatabase(c.backend);
  {
    const std::unique_ptr<ForecastStore> store = OpenStore(db->Location());
    ASSERT_TRUE(store->CreateTables());
    ASSERT_EQ(store->Record(FetchResult{0, {}, u"晴"_s}).error, std::nullopt);
  }
  db->Exec(QString::fromUtf8(c.sql));
  if (c.corrupt) {
    QFile file(db->Location());
    ASSERT_TRUE(file.open(QIODevice::ReadWrite) && file.seek(2 * 4096 + 8));
    file.write(QByteArray(512, '\xff'));
  }
  QStringList arguments = QString::fromUtf8(c.command).split(u' ');
  const test::OnceRun run = test::RunProgram(arguments << u"--db"_s << db->Location());
  EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
  EXPECT_TRUE((run.out + run.err).contains(QString::fromUtf8(c.says)))
      << (run.out + run.err).toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckDb,
    testing::Values(
        DatabaseCase{"sound_file", test::Backend::Sqlite, "PRAGMA user_version=4", false,
                     "--check-db", 0, "schema version: 4\nintegrity: ok\ntq: 1 rows, newest "},
        DatabaseCase{"file_without_outbox", test::Backend::Sqlite, "DROP TABLE outbox", false,
                     "--check-db", 0, "outbox: no table\n"},
        DatabaseCase{"file_without_tqlog", test::Backend::Sqlite, "DROP TABLE tqlog", false,
                     "--check-db", 1, "tqlog"},
        DatabaseCase{"corrupt_file", test::Backend::Sqlite,
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                     "3000) INSERT INTO tqlog SELECT 'x', 'y', i, 'z' FROM n",
                     true, "--check-db", 1, "not sound"},
        DatabaseCase{"server_with_version", test::Backend::Postgres,
                     "UPDATE skyloom_schema SET version = 2", false, "--check-db", 0,
                     "schema version: 2\nintegrity: ok\n"},
        DatabaseCase{"server_is_a_primary", test::Backend::Postgres, "SELECT 1", false,
                     "--check-db", 0, ", primary\nschema version: 4\n"},
        DatabaseCase{"server_backup", test::Backend::Postgres, "SELECT 1", false,
                     "--backup /nonexistent/copy", 1, "pg_dump"}),
    [](const auto& info) { return std::string(info.param.name); });

// An option the usage names but bash cannot complete is one added without its completion.
TEST(ShellCompletion, OffersEveryOptionTheUsageNames) {
  const QString completion = QString::fromUtf8(
      ReadFile(QStringLiteral(SKYLOOM_TEST_DATA "/../../packaging/skyloom.bash-completion")));
  const QString usage = test::RunProgram({u"--help"_s}).out;
  static const QRegularExpression option(u"--[a-z][a-z-]*"_s);
  int options = 0;
  for (const QRegularExpressionMatch& match : option.globalMatch(usage)) {
    ++options;
    EXPECT_TRUE(completion.contains(QRegularExpression(match.captured() + u"\\b"_s)))
        << match.captured().toStdString();
  }
  EXPECT_GT(options, 30);
}

}  // namespace
}  // namespace skyloom
