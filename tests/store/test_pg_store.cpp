#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <vector>

#include "store/pg_link.h"
#include "store/pg_store.h"
#include "support/pg_server.h"
#include "support/test_database.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

const PgLimits kLimits{5s, 5s};

// A reader that waits for new forecasts instead of polling.
class Listener final {
 public:
  explicit Listener(const QString& uri) : connection_(PQconnectdb(uri.toUtf8().constData())) {
    PQclear(PQexec(connection_, "LISTEN skyloom_forecast"));
  }
  ~Listener() { PQfinish(connection_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Payloads of the notifications that arrive within `wait`.
  std::vector<qint64> Received(std::chrono::milliseconds wait) {
    std::vector<qint64> payloads;
    pollfd socket{PQsocket(connection_), POLLIN, 0};
    while (::poll(&socket, 1, static_cast<int>(wait.count())) > 0) {
      PQconsumeInput(connection_);
      while (PGnotify* notice = PQnotifies(connection_)) {
        payloads.push_back(QByteArray(notice->extra).toLongLong());
        PQfreemem(notice);
      }
    }
    return payloads;
  }

 private:
  PGconn* connection_;
};

TEST(PgStore, AListenerHearsOfEachNewForecastOnce) {
  const auto db = test::MakeTestDatabase(test::Backend::Postgres);
  PgStore store(db->Location(), kLimits);
  ASSERT_TRUE(store.CreateTables());
  Listener listener(db->Location());

  std::vector<qint64> stored;
  for (const QString& text : {u"晴"_s, u"晴"_s, u"多云"_s, u"多云"_s}) {
    const StoreResult result = store.Record(FetchResult{0, {}, text});
    ASSERT_EQ(result.error, std::nullopt);
    if (result.outcome == StoreOutcome::Stored) stored.push_back(result.forecastId);
  }
  ASSERT_EQ(store.Record(FetchResult{7, u"refused"_s, std::nullopt}).error, std::nullopt);

  EXPECT_EQ(stored.size(), 2u);
  EXPECT_EQ(listener.Received(1s), stored);
}

TEST(PgStore, InitCreatesTheTablesOnceAndOtherWritesNeverDo) {
  const auto db = test::MakeTestDatabase(test::Backend::Postgres);
  PgStore store(db->Location(), kLimits);

  const StoreResult refused = store.Record(FetchResult{0, {}, u"晴"_s});
  ASSERT_NE(refused.error, std::nullopt);
  EXPECT_TRUE(refused.error->message.contains(u"--init-db"_s))
      << refused.error->message.toStdString();
  EXPECT_FALSE(refused.error->message.contains(test::SharedPgServer().Password()));

  EXPECT_EQ(store.CreateTables(), true);
  EXPECT_EQ(store.CreateTables(), false);
  EXPECT_EQ(store.Record(FetchResult{0, {}, u"晴"_s}).error, std::nullopt);
  EXPECT_EQ(db->Tq().size(), 1u);
}

// The session is made again at the first attempt after the server is back.
TEST(PgStore, AServerThatWasDownIsUsedAgainOnceItIsBack) {
  test::PgServer server;
  PgStore store(server.Uri(), kLimits);
  ASSERT_TRUE(store.CreateTables());
  ASSERT_EQ(store.Record(FetchResult{0, {}, u"晴"_s}).error, std::nullopt);

  server.Stop();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto error = store.Record(FetchResult{0, {}, u"多云"_s}).error;
    ASSERT_NE(error, std::nullopt);
    EXPECT_TRUE(error->message.contains(u"127.0.0.1"_s)) << error->message.toStdString();
    EXPECT_FALSE(error->message.contains(server.Password())) << error->message.toStdString();
  }
  server.Start();

  const StoreResult result = store.Record(FetchResult{0, {}, u"多云"_s});
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.outcome, StoreOutcome::Stored);
}

// Connections of one kind are shown together: one that closes leaves the others' server
// shown, and each made again after the first counts.
TEST(PgStore, ConnectionsOfOneKindAreShownTogether) {
  const PgLimits limits{.connect = 5s, .statement = 5s, .kind = "pair"};
  const QString uri = test::SharedPgServer().Uri();
  PgLink first(uri, limits, false), second(uri, limits, false);
  ASSERT_TRUE(first.Session() && second.Session());
  first.Drop();
  ASSERT_TRUE(first.Session());
  second.Drop();
  const auto shown = [] {  // server, primary, reconnects
    QString pair;
    for (const PgLinkState& state : PgLinkStates()) {
      if (state.kind == u"pair"_s)
        pair = u"%1 %2 %3"_s.arg(state.server).arg(state.primary).arg(state.reconnects);
    }
    return pair;
  };
  EXPECT_EQ(shown(), u"127.0.0.1:%1 1 1"_s.arg(test::SharedPgServer().Port()));
  first.Drop();
  EXPECT_EQ(shown(), u" 0 1"_s);
}

}  // namespace
}  // namespace skyloom
