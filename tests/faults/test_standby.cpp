#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>

#include "skyloom_process.h"
#include "store/open_store.h"
#include "support/gb_bytes.h"
#include "support/pg_server.h"
#include "support/raw_client.h"
#include "support/test_database.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

const QString kFetched = u"\t正常获取\t"_s;

QDateTime On7December(int hour, int minute) {
  return QDateTime(QDate(2026, 12, 7), QTime(hour, minute));
}

// The port of the API a program's standard error names.
int ApiPort(const QString& err) {
  const QRegularExpression served(u"serving the API on http://127\\.0\\.0\\.1:(\\d+)"_s);
  return served.match(err).captured(1).toInt();
}

// A GET /events stream on the API a program's standard error names, or -1.
int OpenStream(const QString& err) {
  const int fd = test::ConnectLoopback(ApiPort(err));
  const std::string head = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  return fd;
}

// Whether forecast `id` comes on the stream, which is closed then.
testing::AssertionResult StreamGets(int fd, const std::string& id) {
  const std::string wanted = "event: forecast\nid: " + id + "\n";
  std::string received;
  for (char chunk[4096]; received.find(wanted) == std::string::npos;) {
    pollfd ready{fd, POLLIN, 0};
    const ssize_t n = ::poll(&ready, 1, 10'000) > 0 ? ::recv(fd, chunk, sizeof chunk, 0) : 0;
    if (n <= 0) break;
    received.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (received.find(wanted) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << received;
}

// Collectors on one database against one page, their clocks moved together from slot to slot.
// A turn runs out three seconds after its last renewal, so a take-over takes seconds.
class Group {
 public:
  Group(test::Backend backend, const std::vector<QStringList>& extras)
      : db_(test::MakeTestDatabase(backend)), clock_(folder_.filePath(u"clock"_s)) {
    page_.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
    page_.Start();
    EXPECT_TRUE(OpenStore(db_->Location())->CreateTables().has_value());
    // Just before the morning window opens: the first timed fetch is due at 06:15.
    test::MoveClocks(clock_, On7December(6, 15).addSecs(-5));
    options_.clockFile = clock_;
    for (const QStringList& extra : extras) {
      arguments_.push_back(QStringList{u"--url"_s, page_.Url(u"/page"_s), u"--db"_s,
                                       db_->Location(), u"--lease-seconds"_s, u"3"_s} +
                           extra);
      programs_.push_back(std::make_unique<test::HeadlessProgram>(arguments_.back(), options_));
    }
  }

  void Signal(size_t i, int signal) {
    ::kill(static_cast<pid_t>(programs_[i]->Pid()), signal);
    if (signal == SIGCONT) signalled_.remove(i);
    if (signal != SIGCONT) signalled_.insert(i);
  }

  // Kills program `i` and starts it again, as a service manager would.
  void Restart(size_t i) {
    ::kill(static_cast<pid_t>(programs_[i]->Pid()), SIGKILL);
    programs_[i] = std::make_unique<test::HeadlessProgram>(arguments_[i], options_);
  }

  // Waits until `done` holds, reading what the programs wrote meanwhile.
  bool Eventually(const std::function<bool()>& done, int boundMs = 30'000) {
    const QDeadlineTimer deadline(boundMs);
    for (;;) {
      QCoreApplication::processEvents();
      for (auto& program : programs_) program->Collect();
      if (done()) return true;
      if (deadline.hasExpired()) return false;
      QThread::msleep(20);
    }
  }

  // The programs whose last word on their role, if any, is "active", of those not signalled.
  std::vector<size_t> Active() const {
    std::vector<size_t> active;
    for (size_t i = 0; i < programs_.size(); ++i) {
      const QString& out = programs_[i]->Out();
      const qsizetype role = out.lastIndexOf(u"\trole\t"_s);
      if (!signalled_.contains(i) && (role < 0 || out.mid(role + 6, 6) == u"active"_s)) {
        active.push_back(i);
      }
    }
    return active;
  }

  // Moves the clocks to `lead` seconds before `slot`, runs `meanwhile`; then `requests` page
  // requests and log rows per slot since the start, a late one included. Who fetched.
  std::vector<size_t> FetchSlot(
      const QDateTime& slot, int requests = 1, int lead = 5,
      const std::function<void()>& meanwhile = [] {}) {
    std::vector<qsizetype> before;
    for (const auto& program : programs_) before.push_back(program->Out().count(kFetched));
    expected_ += requests;
    test::MoveClocks(clock_, slot.addSecs(-lead));
    meanwhile();
    EXPECT_TRUE(Eventually([&] { return page_.Requests() >= expected_; })) << Transcript();
    Eventually([] { return false; }, 3'000);
    EXPECT_EQ(page_.Requests(), expected_) << Transcript();
    EXPECT_EQ(db_->Tqlog().size(), size_t(expected_));
    std::vector<size_t> fetched;
    for (size_t i = 0; i < programs_.size(); ++i) {
      if (programs_[i]->Out().count(kFetched) > before[i]) fetched.push_back(i);
    }
    return fetched;
  }

  // Sends `signal` to the active program and waits for another to take over; which it was.
  // Between slots, the one that took over must not fetch the slot gone by again.
  size_t TakeOverFrom(int signal, bool betweenSlots = true) {
    EXPECT_EQ(Active().size(), 1u) << Transcript();
    const size_t from = Active().at(0);
    Signal(from, signal);
    EXPECT_TRUE(Eventually([&] { return Active().size() == 1; })) << Transcript();
    if (betweenSlots && Eventually([&] { return page_.Requests() > expected_; }, 3'000)) {
      ADD_FAILURE() << "a slot fetched again after a take-over\n" << Transcript();
    }
    return from;
  }

  // A GET /events stream on program `i`'s API, or -1.
  int OpenStream(size_t i) {
    Eventually([&] { return programs_[i]->Err().contains(u"serving the API"_s); });
    return skyloom::OpenStream(programs_[i]->Err());
  }

  // What every program wrote, for a failure's message.
  std::string Transcript() const {
    QString all;
    for (const auto& program : programs_) all += program->Out() + program->Err() + u"--\n"_s;
    return all.toStdString();
  }

 private:
  QTemporaryDir folder_;
  test::TestServer page_;
  std::unique_ptr<test::TestDatabase> db_;
  QString clock_;
  test::ProgramOptions options_;
  std::vector<QStringList> arguments_;
  std::vector<std::unique_ptr<test::HeadlessProgram>> programs_;
  QSet<size_t> signalled_;
  int expected_ = 0;
};

// Three collectors on one server: one request and one log row per slot. Killed after its
// slot, the active one's slot is not fetched again; frozen just before its slot, the slot is
// fetched, late or not, by the one that takes over; thawed, it stands by without fetching.
// Every one of them, standbys included, streams the forecast the active one stored.
TEST(Standby, ThreeCollectorsOnAServerFetchOncePerSlotThroughAKillAndAFreeze) {
  const QStringList listen{u"--listen"_s, u"127.0.0.1:0"_s};
  Group group(test::Backend::Postgres, {listen, listen, listen});
  std::vector<int> streams;
  for (size_t i = 0; i < 3; ++i) streams.push_back(group.OpenStream(i));
  EXPECT_EQ(group.FetchSlot(On7December(6, 15)).size(), 1u);
  for (const int fd : streams) EXPECT_TRUE(StreamGets(fd, "1"));
  group.TakeOverFrom(SIGKILL);
  EXPECT_EQ(group.FetchSlot(On7December(6, 45)).size(), 1u);

  size_t frozen = 0;
  const auto freezeTheActiveOne = [&] {
    group.Eventually([] { return false; }, 1'000);
    frozen = group.TakeOverFrom(SIGSTOP, /*betweenSlots=*/false);
  };
  EXPECT_EQ(group.FetchSlot(On7December(7, 15), 1, 2, freezeTheActiveOne).size(), 1u);

  // Thawed with its slot due, it finds its turn gone and says so, and fetches nothing.
  group.Signal(frozen, SIGCONT);
  EXPECT_TRUE(group.Eventually([&] { return group.Active().size() == 1; })) << group.Transcript();
  EXPECT_EQ(group.FetchSlot(On7December(7, 45)).size(), 1u);
}

// With a term of two minutes, a killed holder's turn passes within seconds, since its session
// is gone with it; a frozen holder's does not, since a freeze cannot be told from a slow
// renewal before the term runs out.
TEST(Standby, AKilledHolderIsReplacedAtOnceAndAFrozenOneNotBeforeItsTerm) {
  const QStringList longTerm{u"--lease-seconds"_s, u"120"_s};
  Group group(test::Backend::Postgres, {longTerm, longTerm});
  EXPECT_EQ(group.FetchSlot(On7December(6, 15)).size(), 1u);
  ASSERT_EQ(group.Active().size(), 1u) << group.Transcript();
  const size_t holder = group.Active().at(0);
  group.Signal(holder, SIGSTOP);
  EXPECT_FALSE(group.Eventually([&] { return group.Active().size() == 1; }, 8'000))
      << group.Transcript();
  group.Signal(holder, SIGCONT);
  EXPECT_TRUE(group.Eventually([&] { return group.Active().size() == 1; })) << group.Transcript();
  ASSERT_EQ(group.Active(), std::vector<size_t>{holder}) << group.Transcript();
  group.Signal(holder, SIGKILL);
  EXPECT_TRUE(group.Eventually([&] { return group.Active().size() == 1; }, 10'000))
      << group.Transcript();
}

// Killed and started again inside the slot it fetched, a collector leaves that slot be,
// though alone it would fetch within a minute of its start; the group's record says so.
TEST(Standby, ARestartInsideASlotDoesNotFetchItAgain) {
  for (const test::Backend backend : {test::Backend::Postgres, test::Backend::Sqlite}) {
    SCOPED_TRACE(test::BackendName(backend));
    Group group(backend, {{}});
    EXPECT_EQ(group.FetchSlot(On7December(6, 15)).size(), 1u);
    group.Restart(0);
    EXPECT_EQ(group.FetchSlot(On7December(6, 17), 0, 60).size(), 0u);
    EXPECT_EQ(group.FetchSlot(On7December(6, 45)).size(), 1u);
  }
}

// Two collectors on one file take turns by a lock beside it; two told never to stand by, one
// on its command line and one in its settings file, fetch on every slot as before.
TEST(Standby, CollectorsOnAFileTakeTurns) {
  QTemporaryDir folder;
  QFile settings(folder.filePath(u"skyloom.conf"_s));
  ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
  settings.write("standby = never\n");
  settings.close();
  Group group(test::Backend::Sqlite,
              {{}, {}, {u"--no-standby"_s}, {u"--config"_s, settings.fileName()}});
  const std::vector<size_t> first = group.FetchSlot(On7December(6, 15), 3);
  ASSERT_EQ(first.size(), 3u);
  ASSERT_EQ(first[1], 2u);
  ASSERT_EQ(first[2], 3u);
  // With those that never stand by gone too, the other takes the next slot alone.
  group.Signal(2, SIGKILL);
  group.Signal(3, SIGKILL);
  group.TakeOverFrom(SIGKILL);
  EXPECT_EQ(group.FetchSlot(On7December(6, 45)), (std::vector<size_t>{1 - first[0]}));
}

// Two collectors given a primary and its streaming standby. The primary is killed and the
// standby promoted: the next slot is fetched once and stored once on it, the delivery that
// was failing goes out from it, and a stream held open on a collector gets its forecast.
TEST(Standby, TheGroupGoesOnOnAPromotedStandby) {
  test::PgServer primary;
  ASSERT_TRUE(OpenStore(primary.Uri())->CreateTables().has_value());
  test::PgServer standby(test::PgServer::StandbyOf{primary});
  QTemporaryDir folder;
  const QString clock = folder.filePath(u"clock"_s);
  test::MoveClocks(clock, On7December(6, 15).addSecs(-5));
  std::atomic<int> page{1};
  test::TestServer pages;
  pages.Http().Get("/page", [&](const httplib::Request&, httplib::Response& response) {
    const QByteArray body = test::ToGbBytes(
        u"<!-- begin -->第%1次<div align=\"right\"><b>今天</b></div>"_s.arg(page.load()));
    response.set_content(body.toStdString(), "text/html; charset=gb2312");
  });
  pages.Start();
  std::atomic<bool> hookFails{true};
  std::atomic<int> delivered{0};
  test::TestServer hook;
  hook.Http().Post("/hook", [&](const httplib::Request&, httplib::Response& response) {
    response.status = hookFails ? 503 : 200;
    if (!hookFails) ++delivered;
  });
  hook.Start();
  const QString uri = u"postgresql://skyloom:%1@127.0.0.1:%2,127.0.0.1:%3/skyloom"_s.arg(
      primary.Password(), QString::number(primary.Port()), QString::number(standby.Port()));
  test::ProgramOptions options;
  options.clockFile = clock;
  std::vector<std::unique_ptr<test::HeadlessProgram>> programs;
  for (int i = 0; i < 2; ++i) {
    programs.push_back(std::make_unique<test::HeadlessProgram>(
        QStringList{u"--url"_s, pages.Url(u"/page"_s), u"--db"_s, uri, u"--lease-seconds"_s, u"3"_s,
                    u"--listen"_s, u"127.0.0.1:0"_s, u"--notify"_s,
                    u"webhook "_s + hook.Url(u"/hook"_s) + u" events=new"_s},
        options));
  }
  const auto eventually = [&](const std::function<bool()>& done) {
    return programs[0]->WaitUntil(
        [&] {
          programs[1]->Collect();
          return done();
        },
        30'000);
  };
  const auto onStandby = [&](const QString& sql) { return standby.Psql(sql).toInt(); };
  // The first forecast and its failed try have reached the standby.
  ASSERT_TRUE(eventually([&] {
    return onStandby(u"SELECT count(*) FROM outbox WHERE tries > 0"_s) == 1;
  })) << programs[0]->Err().toStdString();
  const int stream = OpenStream(programs[0]->Err());

  primary.Stop();
  standby.Promote();
  hookFails = false;
  page = 2;
  test::MoveClocks(clock, On7December(6, 45).addSecs(-5));
  EXPECT_TRUE(eventually([&] { return onStandby(u"SELECT count(*) FROM tqlog"_s) == 2; }))
      << programs[0]->Err().toStdString() << programs[1]->Err().toStdString();
  EXPECT_TRUE(eventually(
      [&] { return onStandby(u"SELECT count(*) FROM outbox WHERE state = 'sent'"_s) == 2; }));
  programs[0]->WaitUntil([] { return false; }, 3'000);
  EXPECT_EQ(pages.Requests(), 2);
  EXPECT_EQ(onStandby(u"SELECT count(*) FROM tqlog"_s), 2);
  EXPECT_EQ(onStandby(u"SELECT count(*) FROM tq WHERE tqyb = '第2次'"_s), 1);
  EXPECT_EQ(delivered, 2);

  EXPECT_TRUE(
      StreamGets(stream, standby.Psql(u"SELECT id FROM tq WHERE tqyb = '第2次'"_s).toStdString()));
  // Its connections say where they are now: on the promoted standby, a primary.
  const std::string health =
      test::Exchange(ApiPort(programs[0]->Err()),
                     "GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
          .Body();
  EXPECT_NE(health.find(
                "\"primary\":true,\"server\":\"127.0.0.1:" + std::to_string(standby.Port()) + "\""),
            std::string::npos)
      << health;
}

}  // namespace
}  // namespace skyloom
