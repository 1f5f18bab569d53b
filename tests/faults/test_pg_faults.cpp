#include <gtest/gtest.h>

#include <QFile>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "broken_library.h"
#include "platform/pg_connection.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "skyloom_process.h"
#include "store/pg_store.h"
#include "support/fake_clock.h"
#include "support/gb_bytes.h"
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

struct InitPlace {
  const char* name;
  test::Backend backend;
  bool emptyFile;  // an empty file is already there
};
void PrintTo(const InitPlace& place, std::ostream* out) { *out << place.name; }

class InitDb : public testing::TestWithParam<InitPlace> {};

TEST_P(InitDb, MakesTheTablesOnceAndSaysWhatItDid) {
  const auto db = test::MakeTestDatabase(GetParam().backend);
  if (GetParam().emptyFile) {
    ASSERT_TRUE(QFile(db->Location()).open(QIODevice::WriteOnly));
  }
  const QStringList arguments{u"--init-db"_s, u"--db"_s, db->Location()};

  const test::OnceRun first = test::RunProgram(arguments);
  const test::OnceRun second = test::RunProgram(arguments);

  EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
  EXPECT_TRUE(first.out.contains(u"created the tables tq and tqlog"_s)) << first.out.toStdString();
  EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
  EXPECT_TRUE(second.out.contains(u"nothing changed"_s)) << second.out.toStdString();
  EXPECT_FALSE(first.out.contains(test::SharedPgServer().Password()));
  EXPECT_TRUE(db->Tq().empty());
}

INSTANTIATE_TEST_SUITE_P(Places, InitDb,
                         testing::Values(InitPlace{"postgresql", test::Backend::Postgres, false},
                                         InitPlace{"missing_file", test::Backend::Sqlite, false},
                                         InitPlace{"empty_file", test::Backend::Sqlite, true}),
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
// than waiting them out.
TEST(FrozenServer, TheApiAnswersInTimeAndStopsWithoutWaitingForReads) {
  test::PgServer server;
  ASSERT_TRUE(PgStore(server.Uri(), PgLimits{}).CreateTables());
  const Metrics metrics;
  const test::FakeClock clock{QDateTime(QDate(2026, 3, 1), QTime(7, 30))};
  HttpApi api(server.Uri(), PgLimits{.connect = 10s, .statement = 10s}, metrics, clock);
  const auto bound = api.Start(u"127.0.0.1:0"_s);
  ASSERT_TRUE(bound) << bound.error().toStdString();
  const int port = bound->section(u':', 1).toInt();
  const std::string request = "GET /forecasts HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
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

}  // namespace
}  // namespace skyloom
