#include "store/sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>

#include "store/sqlite_schema.h"

namespace skyloom {
namespace {

// tqlog is a rowid table: the rowid is the order of insert, whatever the clock said.
// logtime is stored as the text readers want.
constexpr SqlDialect kSqlite{
    .engine = SqlEngine::Sqlite,
    .beginWrite = "BEGIN IMMEDIATE",  // takes the write lock before the comparison
    .now = "datetime('now','localtime')",
    .position = "rowid",
    .order = "rowid",
    .before = "rowid < CAST($1 AS INTEGER)",
    .after = "rowid > CAST($1 AS INTEGER)",
    .recordSlot =
        "INSERT INTO skyloom_collector_slot(id, last_slot) VALUES (1, $1) "
        "ON CONFLICT(id) DO UPDATE SET last_slot = max(last_slot, excluded.last_slot)",
    .lastSlot = "SELECT max(last_slot) FROM skyloom_collector_slot",
    .hasOutbox = "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='outbox'",
    .integrityCheck = "PRAGMA integrity_check",
    .rowKey = "rowid",
};

bool Exists(const QString& path) {
  struct stat status {};
  return ::stat(QFile::encodeName(path).constData(), &status) == 0;
}

}  // namespace

struct SqliteStore::FileState {
  static FileState Of(const QString& path) {
    FileState state;
    state.present = ::stat(QFile::encodeName(path).constData(), &state.file) == 0;
    state.log = Exists(path + QStringLiteral("-wal"));
    state.journal = Exists(path + QStringLiteral("-journal"));
    return state;
  }
  bool operator==(const FileState& other) const {
    const auto times = [](const timespec& a, const timespec& b) {
      return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return present == other.present && log == other.log && journal == other.journal &&
           file.st_ino == other.file.st_ino && file.st_size == other.file.st_size &&
           times(file.st_mtim, other.file.st_mtim) && times(file.st_ctim, other.file.st_ctim);
  }

  bool present = false;
  bool log = false;      // a writer in write-ahead mode has the file open
  bool journal = false;  // a writer in rollback mode is writing, or died while it did
  struct stat file {};
};

SqliteStore::SqliteStore(QString path, StoreAccess access)
    : SqlStore(path, kSqlite, access), path_(std::move(path)) {}

SqliteStore::~SqliteStore() = default;

DbExpected<SqlSession*> SqliteStore::OpenSession(Use use) {
  if (use == Use::Read) return OpenForReading();
  connection_ = std::make_unique<SqliteConnection>(&interruption());
  auto opened = OpenForecastDatabase(*connection_, path_, SqliteAccess::ReadWriteCreate);
  if (!opened) return std::unexpected(opened.error());
  return connection_.get();
}

// A file that no one has open for writing is read without locks, so that reading needs
// nothing written: not the shared-memory files of the write-ahead log, which a folder the
// reader cannot write has no room for. Should a writer come meanwhile, the file's state tells
// afterwards, and the read is made again the usual way.
DbExpected<SqlSession*> SqliteStore::OpenForReading() {
  const FileState before = FileState::Of(path_);
  const bool unlocked = !lastReadTorn_ && before.present && !before.log && !before.journal;
  lastReadTorn_ = false;
  if (unlocked) readFrom_ = std::make_unique<FileState>(before);
  connection_ = std::make_unique<SqliteConnection>(&interruption());
  auto opened = OpenForecastDatabase(*connection_, path_,
                                     unlocked ? SqliteAccess::Immutable : SqliteAccess::ReadOnly);
  if (!opened) return std::unexpected(opened.error());
  return connection_.get();
}

bool SqliteStore::CloseSession() {
  connection_.reset();
  if (!readFrom_) return true;
  lastReadTorn_ = !(*readFrom_ == FileState::Of(path_));
  readFrom_.reset();
  return !lastReadTorn_;
}

std::optional<QDateTime> SqliteStore::LastSlot() {
  const auto slot = Reading<std::optional<QString>>([](SqlSession& session) {
    return session.QueryText("SELECT last_slot FROM skyloom_collector_slot WHERE id = 1", {});
  });
  if (!slot || !*slot) return std::nullopt;
  const QDateTime parsed = QDateTime::fromString(**slot, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  if (!parsed.isValid()) return std::nullopt;
  return parsed;
}

DbExpected<bool> SqliteStore::MakeTables() { return CreateForecastDatabase(path_); }

QString SqliteStore::Hint(const DbError& error) const {
  // SQLite blames the file when it cannot make its journal beside it.
  const int primary = error.code & 0xff;
  const QFileInfo file(path_);
  if ((primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN) && file.exists() &&
      !QFileInfo(file.absolutePath()).isWritable()) {
    return QStringLiteral(" (the folder %1 is not writable)").arg(file.absolutePath());
  }
  return {};
}

}  // namespace skyloom
