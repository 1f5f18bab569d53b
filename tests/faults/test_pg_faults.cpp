#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

#include "broken_library.h"
#include "collecting/collector.h"
#include "platform/pg_connection.h"
#include "raw_server.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "skyloom_process.h"
#include "store/pg_store.h"
#include "store/schema.h"
#include "support/application.h"
#include "support/fake_clock.h"
#include "support/gb_bytes.h"
#include "support/loopback_socket.h"
#include "support/pg_server.h"
#include "support/raw_client.h"
#include "support/refusing_port.h"
#include "support/test_database.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

const QString kWrongPassword = u"Wr0ng-pa55-Zq"_s;

struct ServerFault {
  const char* name;
  // The --db value; may hold a session that stays open for the run.
  QString (*prepare)(std::unique_ptr<PgConnection>& session);
  QString message;                      // part of what stderr must say
  const char* brokenLibrary = nullptr;  // the program finds this library unloadable
};

void PrintTo(const ServerFault& fault, std::ostream* out) { *out << fault.name; }

const ServerFault kFaults[] = {
    {"wrong_password",
     [](std::unique_ptr<PgConnection>&) {
       return test::SharedPgServer().Uri().replace(test::SharedPgServer().Password(),
                                                   kWrongPassword);
     },
     u"password authentication failed"_s},
    {"unknown_database",
     [](std::unique_ptr<PgConnection>&) { return test::SharedPgServer().Uri(u"nosuchdb"_s); },
     u"does not exist"_s},
    {"server_down",
     [](std::unique_ptr<PgConnection>&) {
       static const test::RefusingPort port;
       return u"postgresql://skyloom:%1@127.0.0.1:%2/skyloom"_s.arg(kWrongPassword)
           .arg(port.Port());
     },
     u"127.0.0.1"_s},
    {"missing_tables",
     [](std::unique_ptr<PgConnection>&) {
       return test::MakeTestDatabase(test::Backend::Postgres)->Location();
     },
     u"--init-db"_s},
    {"table_locked_by_another_session",
     [](std::unique_ptr<PgConnection>& session) {
       const auto db = test::MakeTestDatabase(test::Backend::Postgres);
       db->MakeTablesElsewhere();
       session = std::make_unique<PgConnection>();
       EXPECT_TRUE(session->Open(db->Location(), 5s, 0ms));
       EXPECT_TRUE(session->Execute("BEGIN; LOCK TABLE tq IN ACCESS EXCLUSIVE MODE"));
       return db->Location();
     },
     u"statement timeout"_s},
    {"client_library_unloadable",
     [](std::unique_ptr<PgConnection>&) { return test::SharedPgServer().Uri(); },
     u"the PostgreSQL client library could not be loaded"_s, "libpq.so.5"},
};

class ServerFaults : public testing::TestWithParam<ServerFault> {};

// Each fault ends the attempt with a clear message, within the limits, and never shows the
// password.
TEST_P(ServerFaults, OnceExitsWithOneAndAMessageWithoutThePassword) {
  const ServerFault& fault = GetParam();
  test::TestServer page;
  page.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  page.Start();
  std::unique_ptr<PgConnection> session;
  const QString uri = fault.prepare(session);
  std::optional<test::BrokenLibrary> broken;
  if (fault.brokenLibrary) broken.emplace(fault.brokenLibrary);

  const test::OnceRun run =
      test::RunOnce({u"--url"_s, page.Url(u"/page"_s), u"--db"_s, uri, u"--db-connect-timeout"_s,
                     u"2"_s, u"--db-timeout"_s, u"1"_s});

  ASSERT_TRUE(run.finished) << "the program hung";
  EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
  EXPECT_TRUE(run.err.contains(fault.message)) << run.err.toStdString();
  for (const QString& password : {test::SharedPgServer().Password(), kWrongPassword}) {
    EXPECT_FALSE(run.err.contains(password)) << run.err.toStdString();
    EXPECT_FALSE(run.out.contains(password)) << run.out.toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(Postgres, ServerFaults, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// What a database holds before --init-db runs on it.
enum class Before { Nothing, EmptyFile, EarlierRelease, NewerRelease };

struct InitPlace {
  const char* name;
  test::Backend backend;
  Before before;
};
void PrintTo(const InitPlace& place, std::ostream* out) { *out << place.name; }

// The tables as the release before versions were kept made them, with rows in them.
void MakeEarlierRelease(const test::TestDatabase& db, test::Backend backend) {
  db.MakeTablesElsewhere();
  const bool file = backend == test::Backend::Sqlite;
  db.Exec(file ? u"CREATE TABLE outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, event_id TEXT NOT "
                 u"NULL, event TEXT NOT NULL, channel TEXT NOT NULL, message TEXT NOT NULL, "
                 u"created INTEGER NOT NULL, tries INTEGER NOT NULL DEFAULT 0, next_try INTEGER "
                 u"NOT NULL, state TEXT NOT NULL DEFAULT 'pending', last_error TEXT)"_s
               : u"CREATE TABLE skyloom_collector_lease(id integer PRIMARY KEY CHECK (id = 1), "
                 u"holder text NOT NULL, expires timestamptz NOT NULL)"_s);
  db.Exec(u"INSERT INTO tq(logtime, tqyb) VALUES ('2026-12-01 06:31:00', '晴')"_s);
  db.Exec(
      u"INSERT INTO tqlog(logtime, errstat, errnum, errdes) VALUES "
      u"('2026-12-01 06:31:00', '获取错误', 28, 'timed out')"_s);
}

class InitDb : public testing::TestWithParam<InitPlace> {};

// An earlier release's database is brought up to date and keeps its rows; a newer one's is
// refused and left as it was; a second run changes nothing.
TEST_P(InitDb, MakesOrUpgradesTheTablesOnceAndSaysWhatItDid) {
  const test::Backend backend = GetParam().backend;
  const auto db = test::MakeTestDatabase(backend);
  const QStringList arguments{u"--init-db"_s, u"--db"_s, db->Location()};
  switch (GetParam().before) {
    case Before::Nothing:
      break;
    case Before::EmptyFile:
      ASSERT_TRUE(QFile(db->Location()).open(QIODevice::WriteOnly));
      break;
    case Before::EarlierRelease:
      MakeEarlierRelease(*db, backend);
      break;
    case Before::NewerRelease:
      ASSERT_EQ(test::RunProgram(arguments).exitCode, 0);
      db->Exec(backend == test::Backend::Sqlite ? u"PRAGMA user_version = 99"_s
                                                : u"UPDATE skyloom_schema SET version = 99"_s);
      break;
  }
  const auto bytes = [&] {
    QFile file(db->Location());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  };
  const QByteArray made = bytes();

  const test::OnceRun first = test::RunProgram(arguments);
  const test::OnceRun second = test::RunProgram(arguments);
  EXPECT_FALSE(first.out.contains(test::SharedPgServer().Password()));

  if (GetParam().before == Before::NewerRelease) {
    for (const test::OnceRun& run : {first, second}) {
      EXPECT_EQ(run.exitCode, 2) << run.err.toStdString();
      EXPECT_TRUE(
          run.err.contains(u"at version 99; this program knows up to %1)"_s.arg(kSchemaVersion)))
          << run.err.toStdString();
    }
    const test::OnceRun once = test::RunProgram(
        {u"--once"_s, u"--db"_s, db->Location(), u"--url"_s, u"http://127.0.0.1:9/"_s});
    EXPECT_EQ(once.exitCode, 2) << once.err.toStdString();
    EXPECT_TRUE(db->Tqlog().empty());
    EXPECT_EQ(bytes(), made);  // on a server, no file: both empty
    return;
  }
  EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
  EXPECT_TRUE(first.out.contains(u"made the tables in"_s)) << first.out.toStdString();
  EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
  EXPECT_TRUE(second.out.contains(u"at version %1 already; nothing changed"_s.arg(kSchemaVersion)))
      << second.out.toStdString();
  if (GetParam().before != Before::EarlierRelease) {
    EXPECT_TRUE(db->Tq().empty());
    return;
  }
  ASSERT_EQ(db->Tq().size(), 1u);
  const test::OnceRun log = test::RunProgram({u"--log"_s, u"1"_s, u"--db"_s, db->Location()});
  EXPECT_EQ(log.out, u"2026-12-01 06:31:00\t获取错误\t28\ttimed out\n"_s);
  // The run of failures the earlier release left goes on in the upgraded log.
  const test::OnceRun again = test::RunProgram(
      {u"--once"_s, u"--db"_s, db->Location(), u"--url"_s, u"http://127.0.0.1:9/"_s});
  EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
  EXPECT_EQ(db->Tqlog().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Places, InitDb,
    testing::Values(InitPlace{"postgresql", test::Backend::Postgres, Before::Nothing},
                    InitPlace{"missing_file", test::Backend::Sqlite, Before::Nothing},
                    InitPlace{"empty_file", test::Backend::Sqlite, Before::EmptyFile},
                    InitPlace{"earlier_file", test::Backend::Sqlite, Before::EarlierRelease},
                    InitPlace{"earlier_server", test::Backend::Postgres, Before::EarlierRelease},
                    InitPlace{"newer_file", test::Backend::Sqlite, Before::NewerRelease},
                    InitPlace{"newer_server", test::Backend::Postgres, Before::NewerRelease}),
    [](const auto& info) { return std::string(info.param.name); });

struct FrozenCall {
  const char* name;
  std::optional<StoreError> (*call)(ForecastStore& store);
  bool interrupted;  // ended from another thread rather than by its deadline
  QString message;   // part of what the error must say
};

std::optional<StoreError> ReadNewest(ForecastStore& store) {
  const auto rows = store.NewestForecasts(1, 0);
  return rows ? std::nullopt : std::optional(rows.error());
}

std::optional<StoreError> RecordText(ForecastStore& store) {
  return store.Record(FetchResult{0, {}, u"阴"_s}).error;
}

// In this order: the kept session stops answering; connecting again meets a server that
// takes the connection and never says a word.
const FrozenCall kFrozenCalls[] = {
    {"read_on_the_kept_session", &ReadNewest, false, u"did not answer within 3 s"_s},
    {"record_connecting_again", &RecordText, false, u"timeout expired"_s},
    {"interrupted_record", &RecordText, true, u"interrupted"_s},
};

// A frozen server (a hung machine, a cut cable) leaves connections open and silent: every
// call still ends within the statement limit + 5 s, and the first after the server is back
// stores again.
TEST(FrozenServer, EveryCallEndsInTimeAndTheNextAfterItStores) {
  test::PgServer server;
  PgStore store(server.Uri(), PgLimits{.connect = 2s, .statement = 1s});
  ASSERT_TRUE(store.CreateTables());
  ASSERT_EQ(RecordText(store), std::nullopt);

  server.Freeze();
  for (const FrozenCall& frozen : kFrozenCalls) {
    const auto started = std::chrono::steady_clock::now();
    auto call = std::async(std::launch::async, frozen.call, std::ref(store));
    if (frozen.interrupted) {
      std::this_thread::sleep_for(200ms);
      store.Interrupt();
    }
    if (call.wait_for(30s) != std::future_status::ready) {
      server.Thaw();  // so that the hung call can end and the test with it
      FAIL() << frozen.name << " hung";
    }
    const auto took = std::chrono::steady_clock::now() - started;
    const std::optional<StoreError> error = call.get();
    ASSERT_NE(error, std::nullopt) << frozen.name;
    EXPECT_TRUE(error->message.contains(frozen.message))
        << frozen.name << ": " << error->message.toStdString();
    EXPECT_LT(took, 1s + 5s) << frozen.name;
  }
  server.Thaw();

  const StoreResult after = store.Record(FetchResult{0, {}, u"多云"_s});
  EXPECT_EQ(after.error, std::nullopt) << after.error->message.toStdString();
  EXPECT_EQ(after.outcome, StoreOutcome::Stored);
}

// The API on a frozen server: a read is refused with 503 within the statement limit, and
// stopping, as quitting does on the window's thread, interrupts the reads under way rather
// than waiting them out. The first page is answered from memory, so an older one is asked.
TEST(FrozenServer, TheApiAnswersInTimeAndStopsWithoutWaitingForReads) {
  test::Application();  // the API's threads need one, as the program has
  test::PgServer server;
  ASSERT_TRUE(PgStore(server.Uri(), PgLimits{}).CreateTables());
  const Metrics metrics;
  const test::FakeClock clock{QDateTime(QDate(2026, 3, 1), QTime(7, 30))};
  HttpApi api(server.Uri(), PgLimits{.connect = 10s, .statement = 10s}, metrics, clock);
  const auto bound = api.Start(u"127.0.0.1:0"_s);
  ASSERT_TRUE(bound) << bound.error().toStdString();
  const int port = bound->section(u':', 1).toInt();
  const std::string request =
      "GET /forecasts?before=9999 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(test::Exchange(port, request).Status(), 200);

  server.Freeze();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(test::Exchange(port, request, 30'000).Status(), 503);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s + 5s);
  auto stuck =
      std::async(std::launch::async, [&] { return test::Exchange(port, request, 30'000); });
  std::this_thread::sleep_for(500ms);
  const auto stopping = std::chrono::steady_clock::now();
  api.Stop();
  // Interrupted, the read under way is answered at once instead of after its limit.
  EXPECT_EQ(stuck.get().Status(), 503);
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
  server.Thaw();
}

// Relays connections to a server one at a time and cuts the first whose client sends COMMIT,
// right after passing it on: the server commits and the client never hears of it.
class CommitCutter final {
 public:
  explicit CommitCutter(int serverPort) : thread_([this, serverPort] { Relay(serverPort); }) {}
  ~CommitCutter() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  int port = 0;
  std::atomic<bool> cut{false};

 private:
  void Relay(int serverPort) {
    for (pollfd wait{listener_, POLLIN, 0}; !stop_;) {
      if (::poll(&wait, 1, 50) <= 0) continue;
      const int ends[2] = {::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC),
                           test::ConnectLoopback(serverPort)};
      for (bool open = ends[0] >= 0 && ends[1] >= 0; open && !stop_;) {
        pollfd both[2] = {{ends[0], POLLIN, 0}, {ends[1], POLLIN, 0}};
        if (::poll(both, 2, 50) <= 0) continue;
        const int from = both[0].revents ? 0 : 1;
        char bytes[65536];
        const ssize_t got = ::read(ends[from], bytes, sizeof bytes);
        open = got > 0 && test::SendAll(ends[1 - from], bytes, static_cast<size_t>(got));
        // A simple query's text ends in a zero byte.
        if (open && from == 0 &&
            std::string_view(bytes, static_cast<size_t>(got))
                .contains(std::string_view("COMMIT", 7))) {
          open = cut.exchange(true);
        }
      }
      for (const int end : ends) ::close(end);
    }
  }

  int listener_ = [this] {
    const int socket = test::BindLoopback(port);
    ::listen(socket, 4);
    return socket;
  }();
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The primary dies with the answer to a timed attempt's COMMIT on its way: the collector keeps
// its page, connects again within the slot, finds the slot stored and writes nothing more.
TEST(CutServer, ACommitWhoseAnswerIsLostIsStoredOnce) {
  const auto db = test::MakeTestDatabase(test::Backend::Postgres);
  ASSERT_TRUE(PgStore(db->Location(), PgLimits{}).CreateTables());
  const int port = test::SharedPgServer().Port();
  const CommitCutter cutter(port);
  QString cut = db->Location();
  cut.replace(u"127.0.0.1:%1/"_s.arg(port), u"127.0.0.1:%1/"_s.arg(cutter.port));
  PgStore store(cut + u"?sslmode=disable"_s, PgLimits{.connect = 5s, .statement = 5s});
  test::TestServer pages;
  pages.ServeBytes("/page", test::ToGbBytes(u"<html>天气预报：晴。</html>"_s));
  pages.Start();
  const test::FakeClock clock;
  Collector collector(clock, store, HttpLimits{.connect = 5s, .whole = 10s},
                      PageMarkers{u"天气预报："_s, u"</html>"_s});

  const QDateTime slot(clock.Now().date(), QTime(6, 15));
  const Attempt attempt = collector.Fetch(
      pages.Url(u"/page"_s), true, [] { return true; }, slot);
  ASSERT_TRUE(cutter.cut);
  EXPECT_EQ(attempt.stored.error, std::nullopt) << attempt.stored.error->message.toStdString();
  EXPECT_TRUE(attempt.stored.slotTaken);
  ASSERT_EQ(db->Tq().size(), 1u);
  EXPECT_EQ(db->Tq()[0].tqyb.toString(), u"晴。"_s);
  EXPECT_EQ(db->Tqlog().size(), 1u);
}

}  // namespace
}  // namespace skyloom
