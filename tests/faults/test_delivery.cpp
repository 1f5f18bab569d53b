#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "platform/open_files.h"
#include "skyloom_process.h"
#include "support/gb_bytes.h"
#include "support/raw_client.h"
#include "support/scratch_db.h"
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
  EXPECT_EQ(
      test::Exchange(port, "GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").Status(),
      200);
  EXPECT_TRUE(program.Terminate()) << program.Err().toStdString();
}

}  // namespace
}  // namespace skyloom
