#include <benchmark/benchmark.h>

#include <QTemporaryDir>
#include <memory>
#include <stdexcept>

#include "store/pg_store.h"
#include "store/sqlite_store.h"
#include "support/pg_server.h"

namespace skyloom {
namespace {

// One attempt as a collector makes it: compare with the newest forecast, insert the new
// text, log the attempt, commit. Every iteration brings a text not stored before.
void RoundTrips(benchmark::State& state, ForecastStore& store) {
  if (auto made = store.CreateTables(); !made) {
    state.SkipWithError(made.error().message.toStdString().c_str());
    return;
  }
  qint64 round = 0;
  for (auto _ : state) {
    const QString text = QStringLiteral("今天夜里到明天：多云，第%1次").arg(++round);
    const StoreResult result = store.Record(FetchResult{0, {}, text});
    if (result.error) {
      state.SkipWithError(result.error->message.toStdString().c_str());
      return;
    }
  }
}

void BM_StoreRoundTripSqlite(benchmark::State& state) {
  QTemporaryDir folder;
  SqliteStore store(folder.filePath(QStringLiteral("tqyb.mdb")));
  RoundTrips(state, store);
}
BENCHMARK(BM_StoreRoundTripSqlite)->UseRealTime()->Unit(benchmark::kMillisecond);

// The tests' server skips its syncs; a collector's server would not.
test::PgServer& DurableServer() {
  static test::PgServer server;
  static const bool synced = [] {
    server.Psql(QStringLiteral("ALTER SYSTEM SET fsync = on"));
    return !server.Psql(QStringLiteral("SELECT pg_reload_conf()")).isEmpty();
  }();
  if (!synced) throw std::runtime_error("the server did not take fsync = on");
  return server;
}

void BM_StoreRoundTripPostgres(benchmark::State& state) {
  PgStore store(DurableServer().Uri(), PgLimits{});
  RoundTrips(state, store);
}
BENCHMARK(BM_StoreRoundTripPostgres)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace skyloom
