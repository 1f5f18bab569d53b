#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "skyloom_process.h"
#include "support/gb_bytes.h"
#include "support/scratch_db.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

QString ExpectedForecast() {
  return QString::fromUtf8(test::ReadTestData(u"shortnb_output.expected.txt"_s));
}

// The program itself makes the database, with one forecast and one log row in it.
void Seed(const QString& database, const QString& pageUrl) {
  const test::OnceRun run = test::RunOnce({u"--url"_s, pageUrl, u"--db"_s, database});
  if (run.exitCode != 0) throw std::runtime_error("seeding failed: " + run.err.toStdString());
}

// Changes modes of files and folders, and puts them back so that the scratch folder can be
// removed.
class ModeChanges final {
 public:
  ModeChanges() = default;
  ~ModeChanges() {
    for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
      ::chmod(QFile::encodeName(change->first).constData(), change->second);
    }
  }
  ModeChanges(const ModeChanges&) = delete;
  ModeChanges& operator=(const ModeChanges&) = delete;

  void Set(const QString& path, mode_t mode, mode_t restore) {
    if (::chmod(QFile::encodeName(path).constData(), mode) != 0) {
      throw std::runtime_error("cannot change the mode of " + path.toStdString());
    }
    changes_.emplace_back(path, restore);
  }

 private:
  std::vector<std::pair<QString, mode_t>> changes_;
};

// Another program in the middle of a long write, holding the file's exclusive lock. It has
// to be another process: closing any descriptor of the file, as reading it for a snapshot
// does, drops every lock this process holds on it.
class ExclusiveTransaction final {
 public:
  explicit ExclusiveTransaction(const QString& path) {
    holder_.start(u"sqlite3"_s, {u"-batch"_s, path});
    holder_.write("BEGIN EXCLUSIVE;\nSELECT 'held';\n");
    QByteArray answer;
    while (!answer.contains("held") && holder_.waitForReadyRead(10'000)) {
      answer += holder_.readAllStandardOutput();
    }
    if (!answer.contains("held")) {
      throw std::runtime_error("cannot hold the database: " +
                               holder_.readAllStandardError().toStdString());
    }
  }
  ~ExclusiveTransaction() {
    holder_.write("ROLLBACK;\n");
    holder_.closeWriteChannel();
    if (!holder_.waitForFinished(10'000)) holder_.kill();
    holder_.waitForFinished();
  }
  ExclusiveTransaction(const ExclusiveTransaction&) = delete;
  ExclusiveTransaction& operator=(const ExclusiveTransaction&) = delete;

 private:
  QProcess holder_;
};

struct Prepared {
  QString database;
  std::shared_ptr<void> keep;  // holds the fault in place until dropped
};

struct DatabaseFault {
  const char* name;
  Prepared (*prepare)(const test::ScratchDb& db, const QString& pageUrl);
  QString message;    // the reason the report must give
  bool unprivileged;  // needs a user who cannot write where root could
};

void PrintTo(const DatabaseFault& fault, std::ostream* out) { *out << fault.name; }

const DatabaseFault kDatabaseFaults[] = {
    {"held_in_an_exclusive_transaction",
     [](const test::ScratchDb& db, const QString& pageUrl) {
       Seed(db.Path(), pageUrl);
       return Prepared{db.Path(), std::make_shared<ExclusiveTransaction>(db.Path())};
     },
     u"database is locked"_s, false},
    {"read_only_file",
     [](const test::ScratchDb& db, const QString& pageUrl) {
       Seed(db.Path(), pageUrl);
       auto modes = std::make_shared<ModeChanges>();
       // The folder stays writable, so the file is the only obstacle.
       modes->Set(db.Folder(), 0777, 0700);
       modes->Set(db.Path(), 0444, 0600);
       return Prepared{db.Path(), modes};
     },
     u"attempt to write a readonly database"_s, true},
    {"missing_file_in_a_read_only_folder",
     [](const test::ScratchDb& db, const QString&) {
       auto modes = std::make_shared<ModeChanges>();
       modes->Set(db.Folder(), 0555, 0700);
       return Prepared{db.Path(), modes};
     },
     u"cannot create the file"_s, true},
    {"writable_file_in_a_read_only_folder",
     [](const test::ScratchDb& db, const QString& pageUrl) {
       Seed(db.Path(), pageUrl);
       auto modes = std::make_shared<ModeChanges>();
       // No journal can be made beside the file, so no write can be made safe.
       modes->Set(db.Folder(), 0555, 0700);
       modes->Set(db.Path(), 0666, 0600);
       return Prepared{db.Path(), modes};
     },
     u"is not writable"_s, true},
    {"a_folder_in_place_of_the_file",
     [](const test::ScratchDb& db, const QString&) {
       if (!QDir().mkdir(db.Path())) throw std::runtime_error("cannot make the folder");
       return Prepared{db.Path(), nullptr};
     },
     u"unable to open database file"_s, false},
    {"random_bytes",
     [](const test::ScratchDb& db, const QString&) {
       std::mt19937 random(7);
       QByteArray bytes(8192, Qt::Uninitialized);
       for (char& byte : bytes) byte = static_cast<char>(random());
       QFile file(db.Path());
       if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
         throw std::runtime_error("cannot write the file");
       }
       return Prepared{db.Path(), nullptr};
     },
     u"file is not a database"_s, false},
    {"database_of_another_program",
     [](const test::ScratchDb& db, const QString&) {
       db.Exec(u"CREATE TABLE readings(taken TEXT, value REAL)"_s);
       return Prepared{db.Path(), nullptr};
     },
     u"the file lacks the tables tq and tqlog"_s, false},
    {"missing_folder",
     [](const test::ScratchDb& db, const QString&) {
       return Prepared{db.Folder() + u"/gone/tqyb.mdb"_s, nullptr};
     },
     u"does not exist"_s, false},
};

class DatabaseFaults : public testing::TestWithParam<DatabaseFault> {
 protected:
  void SetUp() override {
    server_.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
    server_.Start();
  }
  QString PageUrl() const { return server_.Url(u"/page"_s); }

  test::TestServer server_;
  test::ScratchDb db_;
};

TEST_P(DatabaseFaults, OnceExitsWithOneAndAClearMessageAndChangesNothing) {
  const DatabaseFault& fault = GetParam();
  const Prepared prepared = fault.prepare(db_, PageUrl());
  const QString folder = QFileInfo(prepared.database).absolutePath();
  const test::FolderSnapshot before = test::Snapshot(folder);

  test::ProgramOptions options;
  options.unprivileged = fault.unprivileged;
  const test::OnceRun run =
      test::RunOnce({u"--url"_s, PageUrl(), u"--db"_s, prepared.database}, options);

  ASSERT_TRUE(run.finished) << "the program hung";
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(run.err.contains(u"the attempt was not stored"_s)) << run.err.toStdString();
  EXPECT_TRUE(run.err.contains(prepared.database)) << run.err.toStdString();
  EXPECT_TRUE(run.err.contains(fault.message)) << run.err.toStdString();
  // The page itself was fine: the result box still shows its forecast.
  EXPECT_EQ(run.out, ExpectedForecast() + u"\n"_s);
  EXPECT_EQ(test::Snapshot(folder), before);
}

TEST_P(DatabaseFaults, HeadlessReportsTheFailureAndKeepsRunning) {
  const DatabaseFault& fault = GetParam();
  const Prepared prepared = fault.prepare(db_, PageUrl());
  const QString folder = QFileInfo(prepared.database).absolutePath();
  const test::FolderSnapshot before = test::Snapshot(folder);

  test::ProgramOptions options;
  options.unprivileged = fault.unprivileged;
  options.clockStart = test::JustBeforeATimedFetch();
  test::HeadlessProgram program({u"--url"_s, PageUrl(), u"--db"_s, prepared.database}, options);

  ASSERT_TRUE(program.WaitForOutputLine(90'000)) << program.Err().toStdString();
  EXPECT_TRUE(program.Out().startsWith(u"2026-12-07 06:3"_s)) << program.Out().toStdString();
  EXPECT_TRUE(program.Err().contains(prepared.database)) << program.Err().toStdString();
  EXPECT_TRUE(program.Err().contains(fault.message)) << program.Err().toStdString();
  EXPECT_TRUE(program.Terminate())
      << "the program did not keep running or stop cleanly: " << program.Err().toStdString();
  // The lock beside the file that collectors take turns by is theirs, not the database's.
  test::FolderSnapshot after = test::Snapshot(folder);
  if (after) after->erase(QFileInfo(prepared.database).fileName() + u".collector-lock"_s);
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(BadDatabases, DatabaseFaults, testing::ValuesIn(kDatabaseFaults),
                         [](const testing::TestParamInfo<DatabaseFault>& info) {
                           return std::string(info.param.name);
                         });

TEST(BadDatabases, TheNextAttemptAfterALockIsReleasedIsStored) {
  test::TestServer server;
  server.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  server.Start();
  const test::ScratchDb db;
  const QStringList arguments{u"--url"_s, server.Url(u"/page"_s), u"--db"_s, db.Path()};
  Seed(db.Path(), server.Url(u"/page"_s));
  {
    const ExclusiveTransaction lock(db.Path());
    ASSERT_EQ(test::RunOnce(arguments).exitCode, 1);
  }

  const test::OnceRun run = test::RunOnce(arguments);

  EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
  const auto log = db.Tqlog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].errstat, u"正常获取"_s);
  EXPECT_EQ(log[1].errdes, u"未写入"_s);
  EXPECT_EQ(db.Tq().size(), 1u);
}

}  // namespace
}  // namespace skyloom
