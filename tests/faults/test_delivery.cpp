#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <mutex>
#include <ranges>
#include <set>
#include <thread>

#include "platform/open_files.h"
#include "raw_server.h"
#include "skyloom_process.h"
#include "store/open_store.h"
#include "support/gb_bytes.h"
#include "support/raw_client.h"
#include "support/scratch_db.h"
#include "support/test_database.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// A headless collector with the API and a hook: a client that trickles its request one byte a
// second does not hold up the timed fetch; the new forecast is served and handed to the hook.
TEST(Delivery, TheHeadlessCollectorServesItsForecastAndRunsTheHook) {
  test::TestServer page;
  page.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  page.Start();
  const test::ScratchDb db;
  QTemporaryDir folder;
  const QString handed = folder.filePath(u"handed.txt"_s);
  test::ProgramOptions options;
  options.clockStart = test::JustBeforeATimedFetch();
  test::HeadlessProgram program(
      {u"--url"_s, page.Url(u"/page"_s), u"--db"_s, db.Path(), u"--listen"_s, u"127.0.0.1:0"_s,
       u"--on-new"_s, u"{ echo \"$SKYLOOM_ID $SKYLOOM_LOGTIME\"; cat; } > '%1'"_s.arg(handed)},
      options);
  ASSERT_TRUE(program.WaitForError(u"serving the API on"_s, 30'000)) << program.Err().toStdString();
  const auto bound = QRegularExpression(u"http://127\\.0\\.0\\.1:(\\d+)"_s).match(program.Err());
  ASSERT_TRUE(bound.hasMatch()) << program.Err().toStdString();
  const int port = bound.captured(1).toInt();

  std::atomic<bool> trickling{true};
  std::thread slow([&] {
    const std::string request = "GET /forecast HTTP/1.1\r\nHost: x\r\n\r\n";
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      for (size_t i = 0; trickling && i < request.size(); ++i) {
        if (::send(fd, &request[i], 1, MSG_NOSIGNAL) != 1) break;
        std::this_thread::sleep_for(1s);
      }
    }
    ::close(fd);
  });
  const bool fetched = program.WaitForOutputLine(90'000);
  trickling = false;
  slow.join();
  ASSERT_TRUE(fetched) << program.Err().toStdString();
  EXPECT_TRUE(program.Out().contains(u"正常获取\t0\t成功写入"_s)) << program.Out().toStdString();

  httplib::Client client("127.0.0.1", port);
  const auto forecast = client.Get("/forecast");
  ASSERT_TRUE(forecast);
  EXPECT_EQ(forecast->status, 200);
  const QString expected = QString::fromUtf8(test::ReadTestData(u"shortnb_output.expected.txt"_s));
  EXPECT_TRUE(QString::fromStdString(forecast->body).contains(expected));
  const auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("stored"), std::string::npos) << metrics->body;

  // The hook runs beside the collector; its file is whole once the text's end is in it.
  QString received;
  for (int i = 0; i < 100 && !received.endsWith(expected); ++i) {
    std::this_thread::sleep_for(100ms);
    QFile hook(handed);
    if (hook.open(QIODevice::ReadOnly)) received = QString::fromUtf8(hook.readAll());
  }
  EXPECT_TRUE(received.startsWith(u"%1 %2\n"_s.arg(db.Tq()[0].id).arg(db.Tq()[0].logtime)))
      << received.toStdString();
  EXPECT_TRUE(received.endsWith(expected)) << received.toStdString();
  EXPECT_TRUE(program.Terminate()) << program.Err().toStdString();
}

// Under an open-file limit it cannot raise, a flood of connections far beyond that limit
// neither ends the program nor keeps the timed fetch from being made and logged.
TEST(Delivery, AFloodOfConnectionsUnderALowOpenFileLimitLeavesTheTimedFetchLogged) {
  RaiseOpenFileLimit();
  test::TestServer page;
  page.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  page.Start();
  const test::ScratchDb db;
  test::ProgramOptions options;
  options.clockStart = test::JustBeforeATimedFetch();
  options.openFiles = 160;
  test::HeadlessProgram program(
      {u"--url"_s, page.Url(u"/page"_s), u"--db"_s, db.Path(), u"--listen"_s, u"127.0.0.1:0"_s},
      options);
  ASSERT_TRUE(program.WaitForError(u"serving the API on"_s, 30'000)) << program.Err().toStdString();
  const auto bound = QRegularExpression(u"http://127\\.0\\.0\\.1:(\\d+)"_s).match(program.Err());
  ASSERT_TRUE(bound.hasMatch()) << program.Err().toStdString();
  const int port = bound.captured(1).toInt();

  std::vector<int> flood;
  std::atomic<bool> flooding{true};
  // Connections keep coming until the fetch is logged, and none is closed from this side.
  std::thread flooder([&] {
    while (flooding && flood.size() < 900) {
      const std::string from = "127.0.4." + std::to_string(2 + flood.size() / 50);
      const int fd = test::ConnectLoopback(port, from.c_str());
      if (fd >= 0) flood.push_back(fd);
    }
  });
  const bool fetched = program.WaitForOutputLine(90'000);
  flooding = false;
  flooder.join();
  ASSERT_TRUE(fetched) << program.Err().toStdString();
  EXPECT_GT(flood.size(), 300u);
  EXPECT_TRUE(program.Out().contains(u"正常获取\t0\t成功写入"_s)) << program.Out().toStdString();
  EXPECT_EQ(db.Tqlog().size(), 1u);
  EXPECT_TRUE(program.Err().contains(u"the API takes at most"_s)) << program.Err().toStdString();
  for (const int fd : flood) ::close(fd);
  // The API's own look at the store may have found no file descriptor to open it with; it
  // looks again, and is healthy once it can.
  EXPECT_TRUE(program.WaitUntil(
      [&] {
        return test::Exchange(port, "GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                   .Status() == 200;
      },
      10'000));
  EXPECT_TRUE(program.Terminate()) << program.Err().toStdString();
}

QString FileText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

class ChangedPage : public testing::TestWithParam<test::Backend> {};

// The page loses both markers after the first fetch and gets them back later. The clock runs
// 360 times as fast from 14:31:58, so the half-hourly fetches come every 5 s; libpq times its
// connection by that clock, hence the long limit.
TEST_P(ChangedPage, IsLoggedAsAFailureThatAlertsOnceAndRecovers) {
  const QByteArray good = test::ReadTestData(u"shortnb_output.html"_s);
  const QByteArray changed = QByteArray(good).replace("<!-- begin -->", "").replace("right", "");
  std::atomic<int> served{0};
  std::atomic<bool> markersBack{false};
  test::TestServer page;
  page.Http().Get("/page", [&](const httplib::Request&, httplib::Response& response) {
    const QByteArray& body = ++served == 1 || markersBack ? good : changed;
    response.set_content(body.constData(), static_cast<size_t>(body.size()), "text/html");
  });
  page.Start();
  const auto db = test::MakeTestDatabase(GetParam());
  ASSERT_TRUE(OpenStore(db->Location())->CreateTables());
  QTemporaryDir folder;
  const auto record = [&](const QString& name) {
    return u"{ env | grep -E '^SKYLOOM_(LOGTIME|STATUS|ERRNUM|DESCRIPTION|FAILURES)=' | sort; echo ---; } >> '%1'"_s
        .arg(folder.filePath(name));
  };
  test::ProgramOptions options;
  options.clockStart = QDateTime(QDate(2026, 12, 7), QTime(14, 31, 58));
  options.clockRate = 360;
  // The chat gets the same two alerts as the commands.
  std::mutex mutex;
  QStringList chat;
  test::TestServer receiver;
  receiver.Http().Post("/chat", [&](const httplib::Request& request, httplib::Response& response) {
    const std::lock_guard lock(mutex);
    chat << QJsonDocument::fromJson(
                QByteArray::fromStdString(request.body))[u"markdown"_s][u"content"_s]
                .toString();
    response.set_content(R"({"errcode":0})", "application/json");
  });
  receiver.Start();
  test::HeadlessProgram program(
      {u"--url"_s, page.Url(u"/page"_s), u"--db"_s, db->Location(), u"--listen"_s, u"127.0.0.1:0"_s,
       u"--on-failure"_s, record(u"failure"_s), u"--on-recovery"_s, record(u"recovery"_s),
       u"--db-connect-timeout"_s, u"3600"_s, u"--notify"_s,
       u"wecom %1 events=failure,recovery"_s.arg(receiver.Url(u"/chat"_s))},
      options);
  ASSERT_TRUE(program.WaitForError(u"serving the API on"_s, 30'000)) << program.Err().toStdString();
  const auto port =
      QRegularExpression(u"127\\.0\\.0\\.1:(\\d+)"_s).match(program.Err()).captured(1);
  httplib::Client api("127.0.0.1", port.toInt());
  const auto json = [&](const char* path, int status) {
    const auto answer = api.Get(path);
    EXPECT_EQ(answer ? answer->status : 0, status) << path;
    return QJsonDocument::fromJson(answer ? QByteArray::fromStdString(answer->body) : "{}");
  };

  // Two failures in a row, so that the second shows the alert is not repeated.
  ASSERT_TRUE(program.WaitUntil([&] { return program.Out().count(u'\n') >= 3; }, 60'000))
      << program.Out().toStdString();
  markersBack = true;
  for (const QString& line : program.Out().split(u'\n').mid(1, 2)) {
    EXPECT_TRUE(line.contains(u"\t获取错误\t-1\t取回空字串\tnothing extracted"_s))
        << line.toStdString();
  }
  // The API hears of the attempts a moment after they are logged.
  const auto failures = [&] {
    const auto answer = api.Get("/health");
    return answer ? QJsonDocument::fromJson(
                        QByteArray::fromStdString(answer->body))[u"consecutive_failures"_s]
                        .toInt()
                  : -1;
  };
  program.WaitUntil([&] { return failures() >= 2; }, 5'000);
  const QJsonDocument health = json("/health", 503);
  EXPECT_TRUE(health[u"reason"_s].toString().contains(u"nothing extracted"_s));
  EXPECT_GE(health[u"consecutive_failures"_s].toInt(), 2);
  EXPECT_EQ(json("/forecast", 200)[u"id"_s].toInt(), 1);
  EXPECT_EQ(db->Tq().size(), 1u);
  const auto log = db->Tqlog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(u"%1 %2 %3"_s.arg(log[1].errstat).arg(log[1].errnum).arg(log[1].errdes),
            u"获取错误 -1 取回空字串"_s);

  ASSERT_TRUE(
      program.WaitUntil([&] { return program.Out().contains(u"\t正常获取\t0\t未写入"_s); }, 60'000))
      << program.Out().toStdString();
  EXPECT_TRUE(program.WaitUntil([&] { return failures() == 0; }, 5'000));
  for (int i = 0; i < 100 && !FileText(folder.filePath(u"recovery"_s)).endsWith(u"---\n"_s); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(program.WaitUntil(
      [&] {
        const std::lock_guard lock(mutex);
        return chat.size() == 2;
      },
      20'000))
      << program.Err().toStdString();
  // Each event carries the time of the attempt that caused it, as the log keeps it.
  QString recoveredAt;
  for (const auto& row : db->Tqlog() | std::views::drop(1)) {
    if (row.errstat == u"正常获取"_s)
      recoveredAt = recoveredAt.isEmpty() ? row.logtime : recoveredAt;
  }
  EXPECT_EQ(chat[0],
            u"**<font color=\"warning\">采集失败</font>** %1\n> 获取错误 -1：取回空字串\n"
            u"> 连续失败 1 次"_s.arg(log[1].logtime));
  EXPECT_TRUE(
      chat[1].startsWith(u"**<font color=\"info\">采集恢复</font>** %1\n"_s.arg(recoveredAt)))
      << chat[1].toStdString();
  EXPECT_TRUE(program.Terminate()) << program.Err().toStdString();
  EXPECT_TRUE(FileText(folder.filePath(u"failure"_s)).contains(u"LOGTIME="_s + log[1].logtime));
  EXPECT_TRUE(FileText(folder.filePath(u"recovery"_s)).contains(u"LOGTIME="_s + recoveredAt));
  // One run each, with exactly these variables.
  const auto runs = [&](const QString& name) {
    return FileText(folder.filePath(name))
        .remove(QRegularExpression(u"SKYLOOM_LOGTIME=[-\\d]+ [:\\d]+\n"_s))
        .toStdString();
  };
  EXPECT_EQ(runs(u"failure"_s),
            "SKYLOOM_DESCRIPTION=取回空字串\nSKYLOOM_ERRNUM=-1\nSKYLOOM_FAILURES=1\n"
            "SKYLOOM_STATUS=获取错误\n---\n");
  EXPECT_EQ(runs(u"recovery"_s),
            u"SKYLOOM_DESCRIPTION=未写入\nSKYLOOM_ERRNUM=0\nSKYLOOM_FAILURES=%1\n"
            u"SKYLOOM_STATUS=正常获取\n---\n"_s.arg(program.Out().count(u"取回空字串"_s))
                .toStdString());
}

INSTANTIATE_TEST_SUITE_P(Backends, ChangedPage,
                         testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
                         [](const auto& info) { return test::BackendName(info.param); });

// Receivers that refuse and quote what they were sent: after the failed tries no key, token
// or secret shows in any output of the program.
TEST(FailedDeliveries, ShowNoSecretAnywhere) {
  std::mutex mutex;
  std::set<std::string> asked;
  test::TestServer receiver;
  const auto answer = [&](int status, std::string body) {
    return [&, status, body](const httplib::Request& request, httplib::Response& response) {
      response.status = status;
      response.set_content(body, "application/json");
      const std::lock_guard lock(mutex);
      asked.insert(request.path);
    };
  };
  receiver.Http().Post("/wecom", answer(200, R"({"errcode":93000,"errmsg":"bad url )"
                                             R"(/wecom?key=WECOM-KEY-SECRET"})"));
  receiver.Http().Post("/ding", answer(200, R"({"errcode":310000,"errmsg":"sign )"
                                            R"(DING-SIGN-SECRET for DING-TOKEN-SECRET"})"));
  receiver.Http().Post("/hook", answer(503, "HOOK-SECRET"));
  receiver.Http().Post(R"(/bot/\w+)", answer(200, R"({"code":19021,"msg":"bad )"
                                                  R"(FEISHU0TOKEN0SECRET0123"})"));
  receiver.Start();
  test::TestServer page;
  page.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  page.Start();
  const test::ScratchDb db;
  test::ProgramOptions options;
  options.clockStart = QDateTime(QDate(2026, 12, 7), QTime(14, 31, 58));
  options.clockRate = 360;
  test::HeadlessProgram program(
      {u"--url"_s, page.Url(u"/page"_s), u"--db"_s, db.Path(), u"--listen"_s, u"127.0.0.1:0"_s,
       u"--notify"_s, u"wecom "_s + receiver.Url(u"/wecom?key=WECOM-KEY-SECRET"_s), u"--notify"_s,
       u"dingtalk %1 secret=DING-SIGN-SECRET"_s.arg(
           receiver.Url(u"/ding?access_token=DING-TOKEN-SECRET"_s)),
       u"--notify"_s, u"webhook %1 secret=HOOK-SECRET"_s.arg(receiver.Url(u"/hook"_s)),
       u"--notify"_s, u"feishu "_s + receiver.Url(u"/bot/FEISHU0TOKEN0SECRET0123"_s)},
      options);
  ASSERT_TRUE(program.WaitUntil(
      [&] {
        const std::lock_guard lock(mutex);
        return asked.size() == 4;
      },
      40'000))
      << program.Err().toStdString();
  ASSERT_TRUE(program.WaitForError(u"delivering new event"_s, 10'000));
  ASSERT_TRUE(program.WaitForError(u"gave up delivering"_s, 10'000));
  const auto port =
      QRegularExpression(u"127\\.0\\.0\\.1:(\\d+)"_s).match(program.Err()).captured(1).toInt();
  QString shown = program.Err();
  for (const char* path : {"/health", "/metrics", "/page/status.json"}) {
    const auto got = httplib::Client("127.0.0.1", port).Get(path);
    ASSERT_TRUE(got) << path;
    shown += QString::fromStdString(got->body);
  }
  for (const char* mode : {"--deliveries", "--log"}) {
    shown += test::RunProgram({QString::fromLatin1(mode), u"10"_s, u"--db"_s, db.Path()}).out;
  }
  EXPECT_TRUE(program.Terminate());
  // The errors are there, with what may be a key masked.
  EXPECT_TRUE(shown.contains(u"errcode 93000: bad url /wecom?key=…"_s)) << shown.toStdString();
  EXPECT_TRUE(shown.contains(u"code 19021: bad …"_s)) << shown.toStdString();
  EXPECT_FALSE(shown.contains(u"SECRET"_s)) << shown.toStdString();
}

// A message waiting for its retry outlives the collector that wrote it: a collector started
// after a kill, or a standby taking over, sends it under the same event id.
struct Successor {
  const char* name;
  test::Backend backend;
  bool standing = false;  // started before the kill, as a standby
};

class PendingMessage : public testing::TestWithParam<Successor> {};

TEST_P(PendingMessage, IsDeliveredByTheNextCollector) {
  std::atomic<bool> down{true};
  std::mutex mutex;
  std::vector<std::pair<std::string, int>> received;  // Idempotency-Key, status answered
  test::TestServer receiver;
  receiver.Http().Post("/hook", [&](const httplib::Request& request, httplib::Response& response) {
    response.status = down ? 503 : 200;
    const std::lock_guard lock(mutex);
    received.emplace_back(request.get_header_value("Idempotency-Key"), response.status);
  });
  receiver.Start();
  const auto answered = [&](int status) {
    const std::lock_guard lock(mutex);
    return std::count_if(received.begin(), received.end(),
                         [status](const auto& r) { return r.second == status; });
  };
  test::TestServer page;
  page.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  page.Start();
  const auto db = test::MakeTestDatabase(GetParam().backend);
  ASSERT_TRUE(OpenStore(db->Location())->CreateTables());
  const QStringList arguments{u"--url"_s,
                              page.Url(u"/page"_s),
                              u"--db"_s,
                              db->Location(),
                              u"--lease-seconds"_s,
                              u"3"_s,
                              u"--notify"_s,
                              u"webhook "_s + receiver.Url(u"/hook"_s)};
  ASSERT_EQ(test::RunOnce(arguments).exitCode, 0);

  auto first = std::make_unique<test::HeadlessProgram>(arguments, test::ProgramOptions{});
  ASSERT_TRUE(first->WaitForError(u"failed (try 1): HTTP status 503; next try in 10 s"_s, 30'000))
      << first->Err().toStdString();
  std::unique_ptr<test::HeadlessProgram> next;
  if (GetParam().standing) {
    next = std::make_unique<test::HeadlessProgram>(arguments, test::ProgramOptions{});
    ASSERT_TRUE(next->WaitUntil([&] { return next->Out().contains(u"standby"_s); }, 30'000))
        << next->Out().toStdString();
  }
  ::kill(static_cast<pid_t>(first->Pid()), SIGKILL);
  down = false;
  if (!next) next = std::make_unique<test::HeadlessProgram>(arguments, test::ProgramOptions{});
  ASSERT_TRUE(next->WaitUntil([&] { return answered(200) == 1; }, 40'000))
      << next->Out().toStdString() << next->Err().toStdString();
  {
    const std::lock_guard lock(mutex);
    EXPECT_FALSE(received.front().first.empty());
    EXPECT_EQ(received.front().first, received.back().first);
  }
  // The outcome is kept a moment after the receiver answered.
  QString listed;
  next->WaitUntil(
      [&] {
        listed = test::RunProgram({u"--deliveries"_s, u"5"_s, u"--db"_s, db->Location()}).out;
        return listed.count(u"\tsent\t"_s) == 1;
      },
      10'000);
  EXPECT_EQ(listed.count(u"\tsent\t"_s), 1) << listed.toStdString();
  // Delivered once: neither the killed collector's try nor a second one came after it.
  EXPECT_EQ(answered(200), 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, PendingMessage,
                         testing::Values(Successor{"restart", test::Backend::Sqlite},
                                         Successor{"takeover", test::Backend::Postgres, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Each channel's answer is printed, an answer cut short as a failure; nothing goes in the
// outbox and no secret is shown.
TEST(TestNotify, PrintsEachChannelsAnswerAndWritesNothing) {
  test::RawServer cut([](int socket, const std::atomic<bool>&) {
    test::SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"errcode\":0");
  });
  test::TestServer fine;
  fine.Http().Post("/hook", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("thanks", "text/plain");
  });
  fine.Start();
  const test::ScratchDb db;
  ASSERT_TRUE(OpenStore(db.Path())->CreateTables());
  const auto run = test::RunProgram({u"--test-notify"_s, u"--db"_s, db.Path(), u"--notify"_s,
                                     u"wecom "_s + cut.Url(u"/send?key=SECRET"_s), u"--notify"_s,
                                     u"webhook %1 secret=SECRET"_s.arg(fine.Url(u"/hook"_s))});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(run.out.contains(QRegularExpression(u"^wecom:127.0.0.1:\\d+:\\w+: .*partial"_s,
                                                  QRegularExpression::MultilineOption)))
      << run.out.toStdString();
  EXPECT_TRUE(run.out.contains(u": delivered (HTTP status 200)\n  thanks\n"_s))
      << run.out.toStdString();
  EXPECT_FALSE((run.out + run.err).contains(u"SECRET"_s));
  EXPECT_EQ(test::RunProgram({u"--deliveries"_s, u"5"_s, u"--db"_s, db.Path()}).exitCode, 3);
}

// The requests for a stored forecast are printed with every key masked and the file left as
// it was; the outbox's rows are listed by state and a given-up one is put back to pending.
TEST(PreviewNotify, PrintsEachChannelsRequestWritesNothingAndRowsAreSentAgain) {
  test::TestServer page;
  page.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  page.Start();
  const test::ScratchDb db;
  const QStringList channels{u"--notify"_s,
                             u"wecom http://127.0.0.1:9/send?key=SECRET-KEY"_s,
                             u"--notify"_s,
                             u"dingtalk http://127.0.0.1:9/robot?access_token=SECRET-TOKEN "
                             u"secret=SECRET-SIGN"_s,
                             u"--notify"_s,
                             u"webhook http://127.0.0.1:9/hook secret=whsec_U0VDUkVU"_s};
  ASSERT_EQ(
      test::RunOnce(QStringList{u"--url"_s, page.Url(u"/page"_s), u"--db"_s, db.Path()} + channels)
          .exitCode,
      0);
  QFile file(db.Path());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray before = file.readAll();
  const auto preview =
      test::RunProgram(QStringList{u"--preview-notify"_s, u"--db"_s, db.Path()} + channels);
  EXPECT_EQ(preview.exitCode, 0) << preview.err.toStdString();
  EXPECT_EQ(preview.out.count(u"\nPOST http://127.0.0.1:9/"_s), 3) << preview.out.toStdString();
  for (const char* shown :
       {"send?key=…", "robot?access_token=…&timestamp=", "webhook-signature: v1,",
        R"("msgtype":"markdown")", "**今天夜里到明天**｜多云到阴"}) {
    EXPECT_TRUE(preview.out.contains(QString::fromUtf8(shown))) << shown;
  }
  EXPECT_FALSE((preview.out + preview.err).contains(u"SECRET"_s));
  EXPECT_FALSE(preview.out.contains(u"U0VDUkVU"_s));
  EXPECT_EQ(
      test::RunProgram(QStringList{u"--preview-notify"_s, u"99"_s, u"--db"_s, db.Path()} + channels)
          .exitCode,
      3);
  file.seek(0);
  EXPECT_EQ(file.readAll(), before);

  const auto list = [&](const QStringList& more) {
    return test::RunProgram(QStringList{u"--db"_s, db.Path()} + more + channels);
  };
  EXPECT_EQ(list({u"--deliveries"_s, u"9"_s, u"--state"_s, u"given-up"_s}).exitCode, 3);
  EXPECT_EQ(list({u"--redeliver"_s, u"given-up"_s}).exitCode, 3);
  db.Exec(u"UPDATE outbox SET state = 'given up', tries = 1 WHERE channel LIKE 'webhook:%'"_s);
  EXPECT_EQ(list({u"--deliveries"_s, u"9"_s, u"--state"_s, u"given-up"_s}).out.count(u'\n'), 1);
  const auto again = list({u"--redeliver"_s, u"given-up"_s});
  EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
  EXPECT_TRUE(
      again.out.contains(QRegularExpression(u"\\twebhook:127.0.0.1:9:\\w+\\tpending\\t0\\t.*"
                                            u"\\tsent again \\d{4}-"_s)))
      << again.out.toStdString();
  EXPECT_EQ(list({u"--deliveries"_s, u"9"_s, u"--state"_s, u"pending"_s}).out.count(u'\n'), 3);
}

}  // namespace
}  // namespace skyloom
