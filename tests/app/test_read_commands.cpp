#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "../faults/skyloom_process.h"
#include "store/open_store.h"
#include "support/scratch_db.h"
#include "support/test_database.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

class ReadCommands : public testing::TestWithParam<test::Backend> {
 protected:
  test::OnceRun Read(QStringList arguments) {
    return test::RunProgram(arguments << u"--db"_s << db->Location());
  }

  std::unique_ptr<test::TestDatabase> db = test::MakeTestDatabase(GetParam());
};

TEST_P(ReadCommands, PrintTheNewestRowsAsTextOrJson) {
  const std::unique_ptr<ForecastStore> store = OpenStore(db->Location());
  ASSERT_TRUE(store->CreateTables());
  EXPECT_EQ(Read({u"--latest"_s}).exitCode, 3);  // nothing stored yet

  // Plain text shows C1 controls as U+FFFD; JSON keeps them, escaped.
  for (const QString& text : {u"台今天6点钟发布：今天：晴。"_s, u"多云\"转\"阴\u009b2J"_s}) {
    ASSERT_EQ(store->Record(FetchResult{0, {}, text}).error, std::nullopt);
  }
  ASSERT_EQ(store->Record(FetchResult{7, u"refused\x1b]0;x\x07"_s, std::nullopt}).error,
            std::nullopt);

  const test::OnceRun latest = Read({u"--latest"_s});
  EXPECT_EQ(latest.exitCode, 0) << latest.err.toStdString();
  EXPECT_EQ(latest.out, u"多云\"转\"阴�2J\n"_s);
  EXPECT_TRUE(Read({u"--history"_s, u"1"_s}).out.endsWith(u"\t多云\"转\"阴�2J\n"_s));

  const auto rows = db->Tq();
  const QJsonObject newest =
      QJsonDocument::fromJson(Read({u"--latest"_s, u"--json"_s}).out.toUtf8()).object();
  EXPECT_EQ(newest, (QJsonObject{{u"id"_s, rows[1].id},
                                 {u"logtime"_s, rows[1].logtime},
                                 {u"text"_s, u"多云\"转\"阴\u009b2J"_s},
                                 {u"fields"_s, QJsonValue()}}));

  const QJsonArray history =
      QJsonDocument::fromJson(Read({u"--history"_s, u"5"_s, u"--json"_s}).out.toUtf8()).array();
  ASSERT_EQ(history.size(), 2);
  EXPECT_EQ(history[1][u"fields"_s][u"bulletins"_s][0][u"periods"_s][0][u"sky"_s], u"晴"_s);

  const test::OnceRun log = Read({u"--log"_s, u"2"_s});
  EXPECT_EQ(log.exitCode, 0) << log.err.toStdString();
  const QStringList lines = log.out.split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[0].endsWith(u"\t获取错误\t7\trefused�]0;x�"_s)) << lines[0].toStdString();
  EXPECT_TRUE(lines[1].endsWith(u"\t正常获取\t0\t成功写入"_s)) << lines[1].toStdString();
}

// Reading never makes a database: not the file, not the tables on a server.
TEST_P(ReadCommands, NeverCreateAnything) {
  for (const QString& mode : {u"--latest"_s, u"--log"_s}) {
    QStringList arguments{mode};
    if (mode == u"--log"_s) arguments << u"3"_s;
    const test::OnceRun run = Read(arguments);
    EXPECT_EQ(run.exitCode, GetParam() == test::Backend::Sqlite ? 3 : 1) << run.err.toStdString();
    EXPECT_FALSE(run.err.isEmpty());
  }
  if (GetParam() == test::Backend::Sqlite) {
    EXPECT_FALSE(QFileInfo::exists(db->Location()));
  } else {
    EXPECT_THROW(db->Tq(), std::runtime_error);  // no table tq
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, ReadCommands,
                         testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
                         [](const auto& info) { return test::BackendName(info.param); });

struct FilePlace {
  const char* name;
  const char* journal;  // the file's journal mode
  mode_t file;
  mode_t folder;
  bool unprivileged;  // read by a user who cannot write where root could
};
void PrintTo(const FilePlace& place, std::ostream* out) { *out << place.name; }

class ReadOnlyFiles : public testing::TestWithParam<FilePlace> {};

// Reading changes nothing: not the bytes, not the journal mode, no file beside it; and a
// file that cannot be written, in a folder that cannot be written, is read all the same.
TEST_P(ReadOnlyFiles, AreReadAndLeftByteForByte) {
  const FilePlace& place = GetParam();
  const test::ScratchDb db;
  db.Exec(
      u"CREATE TABLE tq(id INTEGER PRIMARY KEY AUTOINCREMENT, logtime TEXT, tqyb TEXT);"
      "CREATE TABLE tqlog(logtime TEXT, errstat TEXT, errnum INTEGER, errdes TEXT);"
      "INSERT INTO tq(logtime, tqyb) VALUES('2026-12-07 06:15:03', '晴');"
      "INSERT INTO tqlog VALUES('2026-12-07 06:15:03', '正常获取', 0, '成功写入');"
      "PRAGMA journal_mode=%1"_s.arg(QLatin1String(place.journal)));
  const QByteArray folder = QFile::encodeName(db.Folder());
  ASSERT_EQ(::chmod(QFile::encodeName(db.Path()).constData(), place.file), 0);
  ASSERT_EQ(::chmod(folder.constData(), place.folder), 0);
  const test::FolderSnapshot before = test::Snapshot(db.Folder());

  test::ProgramOptions options;
  options.unprivileged = place.unprivileged;
  const test::OnceRun latest = test::RunProgram({u"--latest"_s, u"--db"_s, db.Path()}, options);
  const test::OnceRun log = test::RunProgram({u"--log"_s, u"1"_s, u"--db"_s, db.Path()}, options);
  ::chmod(folder.constData(), 0700);

  EXPECT_EQ(latest.exitCode, 0) << latest.err.toStdString();
  EXPECT_EQ(latest.out, u"晴\n"_s);
  EXPECT_EQ(log.exitCode, 0) << log.err.toStdString();
  EXPECT_TRUE(log.out.endsWith(u"\t正常获取\t0\t成功写入\n"_s)) << log.out.toStdString();
  EXPECT_EQ(test::Snapshot(db.Folder()), before);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadOnlyFiles,
                         testing::Values(FilePlace{"rollback_journal", "DELETE", 0644, 0700, false},
                                         FilePlace{"write_ahead_log", "WAL", 0644, 0700, false},
                                         FilePlace{"read_only_in_a_read_only_folder", "WAL", 0444,
                                                   0555, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skyloom
