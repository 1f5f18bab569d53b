#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "raw_server.h"
#include "skyloom_process.h"
#include "support/gb_bytes.h"
#include "support/loopback_socket.h"
#include "support/scratch_db.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using test::RawServer;

constexpr int kMiB = 1024 * 1024;

std::string Head(const std::string& framing) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=gb2312\r\n" + framing +
         "Connection: close\r\n\r\n";
}

// A listener whose accept queue is full and never drained: the kernel drops further
// connection attempts, so a client is left waiting in connect as behind a dead route.
class FullBacklog final {
 public:
  FullBacklog() {
    listener_ = test::BindLoopback(port_);
    if (::listen(listener_, 0) != 0) throw std::runtime_error("cannot listen on a loopback port");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    for (int i = 0; i < 4; ++i) {
      const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(filler);
    }
    QThread::msleep(100);  // lets the handshakes of the fillers complete
  }
  ~FullBacklog() {
    for (const int filler : fillers_) ::close(filler);
    ::close(listener_);
  }
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;

  QString Url() const { return u"http://127.0.0.1:%1/page"_s.arg(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

struct Started {
  QString url;
  std::shared_ptr<void> server;
};

Started Raw(RawServer::Behaviour behaviour) {
  auto server = std::make_shared<RawServer>(std::move(behaviour));
  return {server->Url(u"/page"_s), server};
}

struct TransportFault {
  const char* name;
  std::function<Started()> start;
  CURLcode code;
  QStringList details;  // what the description says beyond libcurl's words for the code
};

void PrintTo(const TransportFault& fault, std::ostream* out) { *out << fault.name; }

const QString kLimits = u"(limits: connect 2 s, whole request 3 s)"_s;

const TransportFault kTransportFaults[] = {
    {"headers_then_silence",
     [] {
       return Raw([](int socket, const std::atomic<bool>& stop) {
         if (test::SendAll(socket, Head("Content-Length: 1000\r\n"))) {
           test::WaitForPeerToClose(socket, 30'000, stop);
         }
       });
     },
     CURLE_OPERATION_TIMEDOUT,
     {u"Operation timed out after"_s, kLimits}},
    {"no_answer_at_all",
     [] {
       return Raw([](int socket, const std::atomic<bool>& stop) {
         test::WaitForPeerToClose(socket, 30'000, stop);
       });
     },
     CURLE_OPERATION_TIMEDOUT,
     {u"Operation timed out after"_s, kLimits}},
    {"one_byte_per_second",
     [] {
       return Raw([](int socket, const std::atomic<bool>& stop) {
         if (!test::SendAll(socket, Head("Content-Length: 100\r\n"))) return;
         for (int i = 0; i < 100 && test::Pause(1000, stop); ++i) {
           if (!test::SendAll(socket, "x", 1)) return;
         }
       });
     },
     CURLE_OPERATION_TIMEDOUT,
     {u"Operation timed out after"_s, kLimits}},
    {"connection_never_accepted",
     [] {
       auto backlog = std::make_shared<FullBacklog>();
       return Started{backlog->Url(), backlog};
     },
     CURLE_OPERATION_TIMEDOUT,
     {u"Failed to connect"_s, kLimits}},
    {"closed_in_the_middle_of_the_body",
     [] {
       return Raw([](int socket, const std::atomic<bool>&) {
         test::SendAll(socket, Head("Content-Length: 1000\r\n") + std::string(100, 'x'));
       });
     },
     CURLE_PARTIAL_FILE,
     {}},
    {"chunked_body_over_16_mib",
     [] {
       return Raw([](int socket, const std::atomic<bool>& stop) {
         if (!test::SendAll(socket, Head("Transfer-Encoding: chunked\r\n"))) return;
         const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
         for (int sent = 0; sent < 17 * kMiB && !stop; sent += 0x10000) {
           if (!test::SendAll(socket, chunk)) return;
         }
         test::SendAll(socket, "0\r\n\r\n");
       });
     },
     CURLE_WRITE_ERROR,
     {u"response body larger than the limit of 16 MiB"_s}},
    {"declared_length_over_16_mib",
     [] {
       return Raw([](int socket, const std::atomic<bool>& stop) {
         const std::string head = Head("Content-Length: " + std::to_string(17 * kMiB) + "\r\n");
         if (test::SendAll(socket, head)) test::WaitForPeerToClose(socket, 30'000, stop);
       });
     },
     CURLE_FILESIZE_EXCEEDED,
     {u"response body larger than the limit of 16 MiB"_s}},
};

class TransportFaults : public testing::TestWithParam<TransportFault> {};

// Each ends as one logged fetch error, never as a hang or a crash.
TEST_P(TransportFaults, EndAsALoggedFetchError) {
  const TransportFault& fault = GetParam();
  const Started server = fault.start();
  const test::ScratchDb db;

  const test::OnceRun run = test::RunOnce(
      QStringList{u"--url"_s, server.url, u"--db"_s, db.Path()} + test::ShortLimits());

  ASSERT_TRUE(run.finished) << "the program hung";
  EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
  const auto log = db.Tqlog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].errstat, u"获取错误"_s);
  EXPECT_EQ(log[0].errnum, fault.code);
  EXPECT_TRUE(log[0].errdes.startsWith(QString::fromUtf8(curl_easy_strerror(fault.code))))
      << log[0].errdes.toStdString();
  for (const QString& detail : fault.details) {
    EXPECT_TRUE(log[0].errdes.contains(detail)) << log[0].errdes.toStdString();
  }
  EXPECT_TRUE(db.Tq().empty());
  EXPECT_EQ(run.out, QString::number(fault.code) + u"\r\n"_s + log[0].errdes + u"\n"_s);
}

INSTANTIATE_TEST_SUITE_P(BadServers, TransportFaults, testing::ValuesIn(kTransportFaults),
                         [](const testing::TestParamInfo<TransportFault>& info) {
                           return std::string(info.param.name);
                         });

TEST(BadServers, ARedirectLoopStopsAfterTenRedirects) {
  test::TestServer server;
  server.Http().Get("/loop", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/loop");
  });
  server.Start();
  const test::ScratchDb db;

  const test::OnceRun run = test::RunOnce(
      QStringList{u"--url"_s, server.Url(u"/loop"_s), u"--db"_s, db.Path()} + test::ShortLimits());

  ASSERT_TRUE(run.finished) << "the program hung";
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(server.Requests(), 11);
  const auto log = db.Tqlog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].errstat, u"获取错误"_s);
  EXPECT_EQ(log[0].errnum, CURLE_TOO_MANY_REDIRECTS);
}

// A page address must never become a way to read local files or reach other services.
TEST(BadServers, RedirectsToOtherSchemesAreRefused) {
  const test::ScratchDb pages;
  const QString localPage = pages.Folder() + u"/page.html"_s;
  {
    QFile file(localPage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(test::ReadTestData(u"shortnb_output.html"_s));
  }
  RawServer ftp([](int, const std::atomic<bool>&) {});
  const std::string targets[] = {"file://" + localPage.toStdString(),
                                 "ftp://127.0.0.1:" + std::to_string(ftp.Port()) + "/page.html"};
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    test::TestServer server;
    server.Http().Get("/page", [target](const httplib::Request&, httplib::Response& response) {
      response.set_redirect(target);
    });
    server.Start();
    const test::ScratchDb db;

    const test::OnceRun run =
        test::RunOnce(QStringList{u"--url"_s, server.Url(u"/page"_s), u"--db"_s, db.Path()} +
                      test::ShortLimits());

    ASSERT_TRUE(run.finished) << "the program hung";
    EXPECT_EQ(run.exitCode, 0);
    const auto log = db.Tqlog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].errnum, CURLE_UNSUPPORTED_PROTOCOL);
    EXPECT_TRUE(db.Tq().empty()) << "the redirect was followed";
  }
  EXPECT_EQ(ftp.Connections(), 0);
}

struct EmptyPage {
  const char* name;
  QByteArray body;
};

void PrintTo(const EmptyPage& page, std::ostream* out) { *out << page.name; }

class PagesWithoutText : public testing::TestWithParam<EmptyPage> {};

// Both decode, to nothing or to replacement characters; with no markers the first fetch has
// no text, which is logged as an empty retrieval.
TEST_P(PagesWithoutText, AreLoggedAsAnEmptyRetrieval) {
  test::TestServer server;
  server.ServeBytes("/page", GetParam().body);
  server.Start();
  const test::ScratchDb db;

  const test::OnceRun run = test::RunOnce(
      QStringList{u"--url"_s, server.Url(u"/page"_s), u"--db"_s, db.Path()} + test::ShortLimits());

  ASSERT_TRUE(run.finished) << "the program hung";
  EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
  EXPECT_EQ(run.out, u"\n"_s);
  const auto log = db.Tqlog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].errstat, u"获取错误"_s);
  EXPECT_EQ(log[0].errnum, -1);
  EXPECT_EQ(log[0].errdes, u"取回空字串"_s);
  EXPECT_TRUE(db.Tq().empty());
}

INSTANTIATE_TEST_SUITE_P(BadServers, PagesWithoutText,
                         testing::Values(EmptyPage{"empty_body", QByteArray()},
                                         EmptyPage{"undecodable_bytes", QByteArray(4096, '\xFF')}),
                         [](const testing::TestParamInfo<EmptyPage>& info) {
                           return std::string(info.param.name);
                         });

// The headless runner asked to stop while the server keeps it waiting: it ends the request
// at once rather than at the time limit, and the attempt is still logged.
TEST(BadServers, TheHeadlessRunnerStopsCleanlyDuringAHangingRequest) {
  RawServer server([](int socket, const std::atomic<bool>& stop) {
    test::WaitForPeerToClose(socket, 60'000, stop);
  });
  const test::ScratchDb db;
  test::ProgramOptions options;
  options.clockStart = test::JustBeforeATimedFetch();
  test::HeadlessProgram program(
      {u"--url"_s, server.Url(u"/page"_s), u"--db"_s, db.Path(), u"--timeout"_s, u"600"_s},
      options);

  const QDeadlineTimer bound(90'000);
  while (server.Connections() == 0 && program.Running() && !bound.hasExpired()) {
    QThread::msleep(50);
  }
  ASSERT_EQ(server.Connections(), 1) << program.Err().toStdString();

  ASSERT_TRUE(program.Terminate()) << program.Err().toStdString();
  const auto log = db.Tqlog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].errstat, u"获取错误"_s);
  EXPECT_EQ(log[0].errnum, CURLE_ABORTED_BY_CALLBACK);
  EXPECT_TRUE(log[0].errdes.contains(u"closing"_s)) << log[0].errdes.toStdString();
  EXPECT_TRUE(program.Out().startsWith(u"2026-12-07 06:3"_s)) << program.Out().toStdString();
}

}  // namespace
}  // namespace skyloom
