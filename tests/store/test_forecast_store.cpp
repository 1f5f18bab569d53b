#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <chrono>
#include <future>
#include <limits>
#include <mutex>
#include <thread>

#include "collecting/retention.h"
#include "store/open_store.h"
#include "store/sqlite_store.h"
#include "support/fake_clock.h"
#include "support/scratch_db.h"
#include "support/test_database.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// A second connection to the file, as another program holds it.
class OtherConnection final {
 public:
  explicit OtherConnection(const QString& path) {
    if (sqlite3_open_v2(path.toUtf8().constData(), &db_, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK) {
      throw std::runtime_error("cannot open the database");
    }
  }
  ~OtherConnection() { Close(); }
  OtherConnection(const OtherConnection&) = delete;
  OtherConnection& operator=(const OtherConnection&) = delete;

  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db_));
    }
  }
  QStringList Column(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db_));
    }
    QStringList values;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      values << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    return values;
  }
  void Close() {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }

 private:
  sqlite3* db_ = nullptr;
};

QByteArray FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList FolderEntries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

QStringList Texts(const std::vector<test::TqRow>& rows) {
  QStringList texts;
  for (const auto& row : rows) texts << (row.tqyb.isNull() ? u"<null>"_s : row.tqyb.toString());
  return texts;
}

void ExpectLastLog(const test::TestDatabase& db, const QString& errstat, qint64 errnum,
                   const QString& errdes) {
  const auto log = db.Tqlog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().errstat, errstat);
  EXPECT_EQ(log.back().errnum, errnum);
  EXPECT_EQ(log.back().errdes, errdes);
}

std::string BackendName(const testing::TestParamInfo<test::Backend>& info) {
  return test::BackendName(info.param);
}

// What every backend does alike, each on a database of the test's own.
class ForecastStoreTest : public testing::TestWithParam<test::Backend> {
 protected:
  // One fetch that extracted `text`.
  std::optional<StoreError> Store(const QString& text) { return Record(FetchResult{0, {}, text}); }
  std::optional<StoreError> Record(const FetchResult& fetch) {
    if (!tablesMade_) {
      if (auto made = store->CreateTables(); !made) return made.error();
      tablesMade_ = true;
    }
    last = store->Record(fetch);
    return last.error;
  }
  void MakeTablesElsewhere() {
    db->MakeTablesElsewhere();
    tablesMade_ = true;
  }
  void ExpectLastLog(const QString& errstat, qint64 errnum, const QString& errdes) {
    skyloom::ExpectLastLog(*db, errstat, errnum, errdes);
  }

  std::unique_ptr<test::TestDatabase> db = test::MakeTestDatabase(GetParam());
  std::unique_ptr<ForecastStore> store = OpenStore(db->Location());
  StoreResult last;

 private:
  bool tablesMade_ = false;
};

INSTANTIATE_TEST_SUITE_P(Backends, ForecastStoreTest,
                         testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
                         BackendName);

// The file's own behaviour: making it, other programs holding it.
class SqliteFileTest : public testing::Test {
 protected:
  std::optional<StoreError> Store(const QString& text) {
    return store.Record(FetchResult{0, {}, text}).error;
  }
  void ExpectLastLog(const QString& errstat, qint64 errnum, const QString& errdes) {
    const test::ScratchDb& file = db;
    const auto log = file.Tqlog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().errstat, errstat);
    EXPECT_EQ(log.back().errnum, errnum);
    EXPECT_EQ(log.back().errdes, errdes);
  }

  test::ScratchDb db;
  SqliteStore store{db.Path()};
};

TEST_P(ForecastStoreTest, NewTextIsStoredAndLoggedAsWritten) {
  ASSERT_EQ(Store(u"今天夜里：多云"_s), std::nullopt);

  EXPECT_EQ(Texts(db->Tq()), QStringList{u"今天夜里：多云"_s});
  EXPECT_EQ(db->Tqlog().size(), 1u);
  ExpectLastLog(u"正常获取"_s, 0, u"成功写入"_s);
  EXPECT_EQ(last.outcome, StoreOutcome::Stored);
  EXPECT_EQ(last.forecastId, db->Tq().back().id);
  EXPECT_EQ(last.logged.description, u"成功写入"_s);
}

TEST_P(ForecastStoreTest, TheSameTextAgainIsOnlyLogged) {
  ASSERT_EQ(Store(u"多云"_s), std::nullopt);
  ASSERT_EQ(Store(u"多云"_s), std::nullopt);

  EXPECT_EQ(Texts(db->Tq()), QStringList{u"多云"_s});
  EXPECT_EQ(db->Tqlog().size(), 2u);
  ExpectLastLog(u"正常获取"_s, 0, u"未写入"_s);
  EXPECT_EQ(last.outcome, StoreOutcome::Unchanged);
  EXPECT_EQ(last.logged.description, u"未写入"_s);
}

// Made again after the answer to its commit was lost, an attempt finds its slot stored and
// writes nothing; made again after a try that never committed, it is written.
TEST_P(ForecastStoreTest, AnAttemptMadeAgainWritesItsSlotOnce) {
  ASSERT_EQ(Store(u"晴"_s), std::nullopt);
  const QDateTime slot(QDate(2026, 12, 7), QTime(6, 15));
  ASSERT_EQ(store->Record(FetchResult{0, {}, u"多云"_s}, {{}, slot}).error, std::nullopt);
  const StoreResult again = store->Record(FetchResult{0, {}, u"多云"_s}, {{}, slot, true});
  EXPECT_EQ(again.error, std::nullopt);
  EXPECT_TRUE(again.slotTaken);
  const StoreResult next =
      store->Record(FetchResult{0, {}, u"阴"_s}, {{}, slot.addSecs(1800), true});
  EXPECT_FALSE(next.slotTaken);
  EXPECT_EQ(Texts(db->Tq()), (QStringList{u"晴"_s, u"多云"_s, u"阴"_s}));
  EXPECT_EQ(db->Tqlog().size(), 3u);
}

TEST_P(ForecastStoreTest, OnlyTheNewestRowIsCompared) {
  for (const QString& text : {u"甲"_s, u"乙"_s, u"甲"_s}) ASSERT_EQ(Store(text), std::nullopt);
  EXPECT_EQ(Texts(db->Tq()), (QStringList{u"甲"_s, u"乙"_s, u"甲"_s}));
}

TEST_P(ForecastStoreTest, TheComparisonIsExact) {
  const std::pair<QString, QString> nearlyEqual[] = {
      {u"Abc"_s, u"abc"_s}, {u"晴。"_s, u"晴"_s},        {u"晴\t"_s, u"晴"_s},
      {u"ａ"_s, u"a"_s},    {u"e\u0301"_s, u"\u00E9"_s}, {u"&nbsp;"_s, u"&NBSP;"_s}};
  for (const auto& [first, second] : nearlyEqual) {
    ASSERT_EQ(Store(first), std::nullopt);
    ASSERT_EQ(Store(second), std::nullopt);
    EXPECT_EQ(last.logged.description, u"成功写入"_s) << second.toStdString();
    EXPECT_EQ(db->Tq().back().tqyb.toString(), second);
  }
  EXPECT_EQ(db->Tq().size(), 2 * std::size(nearlyEqual));
}

TEST_P(ForecastStoreTest, AnEmptyTableMadeElsewhereStoresTheFirstForecast) {
  MakeTablesElsewhere();
  ASSERT_EQ(Store(u"晴"_s), std::nullopt);
  EXPECT_EQ(Texts(db->Tq()), QStringList{u"晴"_s});
  ExpectLastLog(u"正常获取"_s, 0, u"成功写入"_s);
}

TEST_P(ForecastStoreTest, ANullNewestRowCountsAsDifferent) {
  MakeTablesElsewhere();
  db->Exec(u"INSERT INTO tq(logtime,tqyb) VALUES('2026-12-06 17:00:00','晴')"_s);
  db->Exec(u"INSERT INTO tq(logtime,tqyb) VALUES('2026-12-06 18:00:00',NULL)"_s);

  ASSERT_EQ(Store(u"晴"_s), std::nullopt);

  EXPECT_EQ(Texts(db->Tq()), (QStringList{u"晴"_s, u"<null>"_s, u"晴"_s}));
  ExpectLastLog(u"正常获取"_s, 0, u"成功写入"_s);
}

struct LogOnlyCase {
  const char* name;
  qint32 errNum;
  QString errDes;
  QString errstat;
  qint32 loggedNum;
  QString loggedDes;
};

void PrintTo(const LogOnlyCase& c, std::ostream* out) { *out << c.name; }

class LogOnly : public testing::TestWithParam<std::tuple<test::Backend, LogOnlyCase>> {};

// Attempts with nothing to compare: tq is left alone even though its newest row differs.
TEST_P(LogOnly, OnlyTheLogRowIsWritten) {
  const auto& [backend, c] = GetParam();
  const auto db = test::MakeTestDatabase(backend);
  db->MakeTablesElsewhere();
  db->Exec(u"INSERT INTO tq(logtime,tqyb) VALUES('2026-12-06 17:00:00','晴')"_s);
  // Nothing extracted: the request failed, or the page lacked the markers.
  const StoreResult result =
      OpenStore(db->Location())->Record(FetchResult{c.errNum, c.errDes, std::nullopt});
  ASSERT_EQ(result.error, std::nullopt);

  EXPECT_EQ(Texts(db->Tq()), QStringList{u"晴"_s});
  const auto log = db->Tqlog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].errstat, c.errstat);
  EXPECT_EQ(log[0].errnum, c.loggedNum);
  EXPECT_EQ(log[0].errdes, c.loggedDes);
  EXPECT_EQ(result.logged.number, c.loggedNum);
  EXPECT_EQ(result.logged.description, c.loggedDes);
}

const QString kRefused = u"Couldn't connect to server: Failed to connect to 127.0.0.1 port 9"_s;
constexpr qint32 kMinNum = std::numeric_limits<qint32>::min();
constexpr qint32 kMaxNum = std::numeric_limits<qint32>::max();

INSTANTIATE_TEST_SUITE_P(
    Attempts, LogOnly,
    testing::Combine(
        testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
        testing::Values(
            LogOnlyCase{"failed_request", 7, kRefused, u"获取错误"_s, 7, kRefused},
            // Whatever came before: a changed page is a failure.
            LogOnlyCase{"nothing_cut_out", 0, QString(), u"获取错误"_s, -1, u"取回空字串"_s},
            LogOnlyCase{"smallest_error_number", kMinNum, u"x"_s, u"获取错误"_s, kMinNum, u"x"_s},
            LogOnlyCase{"largest_error_number", kMaxNum, u"x"_s, u"获取错误"_s, kMaxNum, u"x"_s})),
    [](const auto& info) {
      return test::BackendName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
    });

TEST_F(SqliteFileTest, AMissingFileIsCreatedWithBothTables) {
  ASSERT_FALSE(QFile::exists(db.Path()));
  ASSERT_EQ(store.Record(FetchResult{28, u"timeout"_s, std::nullopt}).error, std::nullopt);

  OtherConnection other(db.Path());
  EXPECT_EQ(other.Column("SELECT name FROM sqlite_master WHERE type='table' AND name LIKE 'tq%' "
                         "ORDER BY name"),
            (QStringList{u"tq"_s, u"tqlog"_s}));
  EXPECT_EQ(other.Column("SELECT name FROM pragma_table_info('tq')"),
            (QStringList{u"id"_s, u"logtime"_s, u"tqyb"_s}));
  EXPECT_EQ(other.Column("SELECT name FROM pragma_table_info('tqlog')"),
            (QStringList{u"logtime"_s, u"errstat"_s, u"errnum"_s, u"errdes"_s}));
  other.Close();
  EXPECT_EQ(db.Tqlog().size(), 1u);
  // Nothing is left behind from making the file.
  EXPECT_EQ(FolderEntries(db.Folder()), QStringList{u"tqyb.mdb"_s});
}

TEST_F(SqliteFileTest, ScratchFilesOfAKilledCreationAreRemovedWhenStale) {
  const QString stale = db.Path() + u".new-AbC123"_s;
  const QString recent = db.Path() + u".new-XyZ789"_s;
  for (const QString& path : {stale, recent}) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  {
    QFile file(stale);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                 QFileDevice::FileModificationTime));
  }
  ASSERT_EQ(Store(u"晴"_s), std::nullopt);
  // A creation still under way elsewhere keeps its file.
  EXPECT_EQ(FolderEntries(db.Folder()), (QStringList{u"tqyb.mdb"_s, u"tqyb.mdb.new-XyZ789"_s}));
}

struct ForeignFile {
  const char* name;
  void (*make)(const test::ScratchDb& db);
};

void PrintTo(const ForeignFile& c, std::ostream* out) { *out << c.name; }

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
    throw std::runtime_error("cannot write the file");
  }
}

class ForeignFiles : public testing::TestWithParam<ForeignFile> {};

TEST_P(ForeignFiles, AreRefusedAndLeftByteForByte) {
  test::ScratchDb db;
  GetParam().make(db);
  const QByteArray before = FileBytes(db.Path());
  const QStringList entries = FolderEntries(db.Folder());

  const FetchResult attempts[] = {
      {0, {}, u"晴"_s}, {6, u"x"_s, std::nullopt}, {0, {}, std::nullopt}};
  for (const FetchResult& fetch : attempts) {
    const auto error = SqliteStore(db.Path()).Record(fetch).error;
    ASSERT_NE(error, std::nullopt) << fetch.errorNumber;
    EXPECT_NE(error->code, 0);
    EXPECT_TRUE(error->message.contains(db.Path())) << error->message.toStdString();
  }

  EXPECT_EQ(FileBytes(db.Path()), before);
  EXPECT_EQ(FolderEntries(db.Folder()), entries);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ForeignFiles,
    testing::Values(
        ForeignFile{"empty_file",
                    [](const test::ScratchDb& db) { WriteFile(db.Path(), QByteArray()); }},
        ForeignFile{"text_file",
                    [](const test::ScratchDb& db) {
                      WriteFile(db.Path(), QByteArray("Standard Jet DB\r\nnot sqlite\r\n"));
                    }},
        ForeignFile{"other_tables",
                    [](const test::ScratchDb& db) {
                      db.Exec(u"CREATE TABLE forecast(t TEXT); INSERT INTO forecast VALUES('x')"_s);
                    }},
        ForeignFile{"tq_without_tqlog",
                    [](const test::ScratchDb& db) {
                      db.Exec(
                          u"CREATE TABLE tq(id INTEGER PRIMARY KEY, logtime TEXT, tqyb TEXT)"_s);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ForecastStore, AMissingFolderIsAnError) {
  test::ScratchDb db;
  const QString folder = db.Folder() + u"/没有/这个"_s;
  const auto error = SqliteStore(folder + u"/tqyb.mdb"_s).Record(FetchResult{0, {}, u"晴"_s}).error;

  ASSERT_NE(error, std::nullopt);
  EXPECT_TRUE(error->message.contains(folder)) << error->message.toStdString();
  EXPECT_TRUE(FolderEntries(db.Folder()).isEmpty());
}

// Quotes and SQL are stored as they are; U+0000 becomes U+FFFD on every backend.
TEST_P(ForecastStoreTest, HostileTextIsStoredAsWritten) {
  QString longText;
  for (int i = 0; longText.size() < 100000; ++i) longText += u"今天'夜里\"到;明天"_s;
  longText.truncate(100000);
  const QString sql = u"它's \"quoted\" '); DROP TABLE tq; -- \\ %s %n ' OR '1'='1 𠀀"_s;
  const std::pair<QString, QString> texts[] = {
      {sql, sql}, {longText, longText}, {u"晴\u0000转多云"_s, u"晴\uFFFD转多云"_s}};

  for (const auto& [text, stored] : texts) {
    ASSERT_EQ(Store(text), std::nullopt);
    EXPECT_EQ(db->Tq().back().tqyb.toString(), stored);
    ASSERT_EQ(Store(text), std::nullopt);
    EXPECT_EQ(last.logged.description, u"未写入"_s);

    ASSERT_EQ(Record(FetchResult{6, text, std::nullopt}), std::nullopt);
    EXPECT_EQ(db->Tqlog().back().errdes, stored);
  }
  EXPECT_EQ(db->Tq().size(), std::size(texts));
}

TEST_F(SqliteFileTest, ABriefLockByAnotherProgramIsWaitedFor) {
  ASSERT_EQ(Store(u"甲"_s), std::nullopt);
  auto other = std::make_unique<OtherConnection>(db.Path());
  other->Exec("BEGIN EXCLUSIVE");
  std::mutex mutex;
  QStringList events;  // in the order they happened
  const auto note = [&](const QString& event) {
    const std::lock_guard lock(mutex);
    events << event;
  };
  std::promise<void> storing;
  std::thread release([&other, &note, started = storing.get_future()] {
    started.wait();
    std::this_thread::sleep_for(1s);  // time for the store to meet the lock
    note(u"released"_s);
    other->Exec("COMMIT");
    other->Close();
  });

  storing.set_value();
  const auto error = Store(u"乙"_s);
  note(u"stored"_s);
  release.join();

  ASSERT_EQ(error, std::nullopt) << error->message.toStdString();
  // Stored only once the lock was gone: the store waited rather than failed or went past it.
  EXPECT_EQ(events, (QStringList{u"released"_s, u"stored"_s}));
  EXPECT_EQ(Texts(db.Tq()), (QStringList{u"甲"_s, u"乙"_s}));
  ExpectLastLog(u"正常获取"_s, 0, u"成功写入"_s);
}

// The wait for another program's lock ends when it runs out, or at once when interrupted
// from another thread; either way nothing is written.
TEST_F(SqliteFileTest, ALockHeldLongerThanTheWaitIsAnErrorAndWritesNothing) {
  ASSERT_EQ(Store(u"甲"_s), std::nullopt);
  OtherConnection other(db.Path());
  other.Exec("BEGIN EXCLUSIVE");

  for (const bool interrupted : {false, true}) {
    auto storing = std::async(std::launch::async, [this] { return Store(u"乙"_s); });
    if (interrupted) store.Interrupt();
    const auto error = storing.get();
    ASSERT_NE(error, std::nullopt);
    const QString reason = interrupted ? u"interrupted"_s : u"locked"_s;
    EXPECT_TRUE(error->message.contains(reason)) << error->message.toStdString();
  }

  other.Exec("COMMIT");
  EXPECT_EQ(Texts(db.Tq()), QStringList{u"甲"_s});
  EXPECT_EQ(db.Tqlog().size(), 1u);
}

TEST_P(ForecastStoreTest, IdsGrowAndAreNotReusedAfterADelete) {
  ASSERT_EQ(Store(u"甲"_s), std::nullopt);
  ASSERT_EQ(Store(u"乙"_s), std::nullopt);
  const qint64 deletedId = db->Tq().back().id;
  db->Exec(u"DELETE FROM tq WHERE tqyb='乙'"_s);

  // 甲 is the newest again, so it is not stored a second time.
  ASSERT_EQ(Store(u"甲"_s), std::nullopt);
  EXPECT_EQ(last.logged.description, u"未写入"_s);
  ASSERT_EQ(Store(u"丙"_s), std::nullopt);

  const auto rows = db->Tq();
  ASSERT_EQ(Texts(rows), (QStringList{u"甲"_s, u"丙"_s}));
  EXPECT_GT(rows[1].id, deletedId);
  EXPECT_GT(deletedId, rows[0].id);
}

TEST_P(ForecastStoreTest, LogTimesAreLocalTimesOfTheWrite) {
  const QDateTime before = QDateTime::currentDateTime();
  ASSERT_EQ(Store(u"晴"_s), std::nullopt);
  const QDateTime after = QDateTime::currentDateTime();

  const QRegularExpression form(u"^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"_s);
  for (const QString& logtime : {db->Tq()[0].logtime, db->Tqlog()[0].logtime}) {
    EXPECT_TRUE(form.match(logtime).hasMatch()) << logtime.toStdString();
    const QDateTime stored = QDateTime::fromString(logtime, u"yyyy-MM-dd HH:mm:ss"_s);
    // A sanity window only: the clock could be changed while the test runs.
    EXPECT_GE(stored, before.addSecs(-120)) << logtime.toStdString();
    EXPECT_LE(stored, after.addSecs(120)) << logtime.toStdString();
  }
}

TEST_P(ForecastStoreTest, TheNewestRowsReadBackNewestFirst) {
  for (const QString& text : {u"晴"_s, u"多云"_s, u"多云"_s, u"阴"_s}) {
    ASSERT_EQ(Store(text), std::nullopt);
  }
  ASSERT_EQ(Record(FetchResult{7, u"refused"_s, std::nullopt}), std::nullopt);

  auto forecasts = store->NewestForecasts(2, 0).value();
  ASSERT_EQ(forecasts.size(), 2u);
  EXPECT_EQ(forecasts[0].text, u"阴"_s);
  EXPECT_EQ(forecasts[1].text, u"多云"_s);
  EXPECT_EQ(forecasts[0].logtime, db->Tq().back().logtime);
  forecasts = store->NewestForecasts(10, forecasts[1].id).value();
  ASSERT_EQ(forecasts.size(), 1u);
  EXPECT_EQ(forecasts[0].text, u"晴"_s);

  const auto attempts = store->NewestAttempts(3).value();
  ASSERT_EQ(attempts.size(), 3u);
  const QStringList descriptions = {attempts[0].description, attempts[1].description,
                                    attempts[2].description};
  EXPECT_EQ(descriptions, (QStringList{u"refused"_s, u"成功写入"_s, u"未写入"_s}));
  EXPECT_EQ(attempts[0].status, u"获取错误"_s);
  EXPECT_EQ(attempts[0].number, 7);
}

// Other programs write tqlog too, several rows in one second among them: paging from any row
// read back must neither skip nor repeat one, and a time range takes its rows oldest first.
TEST_P(ForecastStoreTest, AttemptsPageOnFromAnyRowAndReadByTime) {
  MakeTablesElsewhere();
  QStringList values;
  for (int i = 0; i < 7; ++i) {
    const QString second = i < 4 ? u"2026-12-07 06:15:02"_s : u"2026-12-07 06:45:0%1"_s.arg(i);
    values << u"('%1', '正常获取', %2, 'row %2')"_s.arg(second).arg(i);
  }
  db->Exec(u"INSERT INTO tqlog(logtime, errstat, errnum, errdes) VALUES "_s + values.join(u','));

  QStringList paged;
  auto page = store->NewestAttempts(3).value();
  while (!page.empty()) {
    for (const AttemptRow& row : page) paged << row.description;
    page = store->AttemptsBefore(page.back(), 3).value();
  }
  EXPECT_EQ(paged, (QStringList{u"row 6"_s, u"row 5"_s, u"row 4"_s, u"row 3"_s, u"row 2"_s,
                                u"row 1"_s, u"row 0"_s}));

  const auto between =
      store->AttemptsBetween(u"2026-12-07 06:15:02"_s, u"2026-12-07 06:45:05"_s).value();
  QStringList inRange;
  for (const AttemptRow& row : between) inRange << row.description;
  EXPECT_EQ(inRange, (QStringList{u"row 0"_s, u"row 1"_s, u"row 2"_s, u"row 3"_s, u"row 4"_s}));
  EXPECT_EQ(between[4].logtime, u"2026-12-07 06:45:04"_s);
}

TEST(ForecastStore, APathWithBlanksAndChineseStoresAndReadsBack) {
  test::ScratchDb db;
  const QString folder = db.Folder() + u"/天气 数据"_s;
  ASSERT_TRUE(QDir().mkpath(folder));
  SqliteStore store(folder + u"/预报 库.mdb"_s);

  ASSERT_EQ(store.Record(FetchResult{0, {}, u"晴"_s}).error, std::nullopt);
  ASSERT_EQ(store.Record(FetchResult{0, {}, u"多云"_s}).error, std::nullopt);

  const auto forecasts = store.NewestForecasts(10, 0).value();
  ASSERT_EQ(forecasts.size(), 2u);
  EXPECT_EQ(forecasts[0].text, u"多云"_s);
}

// Old attempts and finished deliveries go a batch at a time; forecasts, new rows and pending
// deliveries stay; a fetch waiting for the thread stops the round after the batch under way.
TEST_P(ForecastStoreTest, OldAttemptsAndFinishedDeliveriesGoAndTheRestStays) {
  ASSERT_EQ(Store(u"晴"_s), std::nullopt);
  QStringList old;
  for (int i = 0; i < 2 * kRemovalBatch + 5; ++i) old << u"('2001-02-03 04:05:06','x',0,'x')"_s;
  db->Exec(u"INSERT INTO tqlog(logtime,errstat,errnum,errdes) VALUES "_s + old.join(u','));
  test::FakeClock clock(QDateTime::currentDateTime());
  const qint64 now = clock.Now().toSecsSinceEpoch();
  const qint64 longAgo = now - 40 * 86400;
  for (const auto& [state, created] : {std::pair{u"sent"_s, longAgo},
                                       {u"given up"_s, longAgo},
                                       {u"pending"_s, longAgo},
                                       {u"sent"_s, now}}) {
    db->Exec(
        u"INSERT INTO outbox(event_id,event,channel,message,created,next_try,state) "
        "VALUES('e','new','c','{}',%1,%1,'%2')"_s.arg(created)
            .arg(state));
  }
  const Retention keep{.attemptDays = 30, .deliveryDays = 30};
  const auto states = [&] {
    QStringList states;
    for (const DeliveryRow& row : store->NewestDeliveries(10).value_or(std::vector<DeliveryRow>{}))
      states << row.state;
    return states;
  };
  int batches = 0;
  const RowsRemoved cut = RemoveOldRows(*store, keep, clock.Now(), [&] { return ++batches < 2; });
  EXPECT_EQ(std::pair(cut.attempts, cut.finished), std::pair(qint64{kRemovalBatch}, false));
  const RowsRemoved rest = RemoveOldRows(*store, keep, clock.Now(), [] { return true; });
  EXPECT_EQ(std::tuple(rest.attempts, rest.deliveries, rest.finished),
            std::tuple(qint64{kRemovalBatch + 5}, qint64{2}, true));
  EXPECT_EQ(db->Tqlog().size(), 1U);
  EXPECT_EQ(states(), (QStringList{u"sent"_s, u"pending"_s}));

  clock.Advance(31 * 86400);
  const RowsRemoved later = RemoveOldRows(*store, keep, clock.Now(), [] { return true; });
  EXPECT_EQ(std::pair(later.attempts, later.deliveries), std::pair(qint64{1}, qint64{1}));
  EXPECT_TRUE(db->Tqlog().empty());
  EXPECT_EQ(Texts(db->Tq()), QStringList{u"晴"_s});
  EXPECT_EQ(states(), QStringList{u"pending"_s});
}

}  // namespace
}  // namespace skyloom
