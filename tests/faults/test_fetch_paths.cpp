#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QString>
#include <string>

#include "broken_library.h"
#include "platform/http_get.h"
#include "raw_server.h"
#include "skyloom_process.h"
#include "support/refusing_port.h"
#include "support/scratch_db.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using test::RawServer;

HttpLimits ShortLimits() {
  HttpLimits limits;
  limits.connect = std::chrono::seconds(2);
  limits.whole = std::chrono::seconds(3);
  return limits;
}

// With a proxy named in the environment the page is fetched by libcurl; the raw server does not
// care whether it is asked as a proxy or as the page's own server.
class ProxyVariable final {
 public:
  explicit ProxyVariable(int port) {
    qputenv("http_proxy", "http://127.0.0.1:" + QByteArray::number(port));
  }
  ~ProxyVariable() { qunsetenv("http_proxy"); }
  ProxyVariable(const ProxyVariable&) = delete;
  ProxyVariable& operator=(const ProxyVariable&) = delete;
};

struct Answer {
  const char* name;
  std::string bytes;  // what the server sends after the request head
  bool keepOpen;      // the server then waits for the client to close
  QByteArray body;
  CURLcode code;
};

void PrintTo(const Answer& answer, std::ostream* out) { *out << answer.name; }

const Answer kAnswers[] = {
    {"chunked_with_an_extension_and_a_trailer",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;x=y\r\nabcd\r\n3\r\nefg\r\n"
     "0\r\nX-Trailer: t\r\n\r\n",
     false, "abcdefg", CURLE_OK},
    {"ended_by_closing", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nuntil closed", false,
     "until closed", CURLE_OK},
    {"an_interim_answer_first",
     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, "ok",
     CURLE_OK},
    {"kept_open_after_a_whole_body", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true, "ok",
     CURLE_OK},
    {"kept_open_after_the_last_chunk",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", true, "ok",
     CURLE_OK},
    {"nothing_at_all", "", false, {}, CURLE_GOT_NOTHING},
    {"a_bad_chunk_size",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n",
     false,
     {},
     CURLE_RECV_ERROR},
    {"a_body_cut_short",
     "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc",
     false,
     {},
     CURLE_PARTIAL_FILE},
    {"headers_then_silence",
     "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n",
     true,
     {},
     CURLE_OPERATION_TIMEDOUT},
};

class BothClients : public testing::TestWithParam<Answer> {};

// The page comes the same way, and a failure ends with the same code and words, whether the
// program's own client or libcurl fetched it.
TEST_P(BothClients, GiveTheSameOutcome) {
  const Answer& answer = GetParam();
  RawServer server([&answer](int socket, const std::atomic<bool>& stop) {
    if (test::SendAll(socket, answer.bytes) && answer.keepOpen) {
      test::WaitForPeerToClose(socket, 30'000, stop);
    }
  });
  for (const bool throughLibcurl : {false, true}) {
    SCOPED_TRACE(throughLibcurl ? "libcurl" : "own client");
    std::optional<ProxyVariable> proxy;
    if (throughLibcurl) proxy.emplace(server.Port());

    const ClientAnswer response = HttpGet(server.Url(u"/page"_s), ShortLimits());

    // A proxy is asked for the whole address.
    EXPECT_EQ(server.LastHead().rfind(throughLibcurl ? "GET http://" : "GET /page ", 0), 0u);
    EXPECT_EQ(response.errNum, answer.code) << response.errDes.toStdString();
    EXPECT_EQ(response.body, answer.body);
    EXPECT_TRUE(response.errDes.startsWith(
        answer.code == CURLE_OK ? QString() : QString::fromUtf8(curl_easy_strerror(answer.code))))
        << response.errDes.toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(FetchPaths, BothClients, testing::ValuesIn(kAnswers),
                         [](const testing::TestParamInfo<Answer>& info) {
                           return std::string(info.param.name);
                         });

// A name goes through a lookup of its own, and the request names the host and the path as
// written, escapes and all.
TEST(FetchPaths, TheRequestNamesPathHostAndProgram) {
  RawServer server([](int socket, const std::atomic<bool>&) {
    test::SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  });
  const QString port = QString::number(server.Port());

  const ClientAnswer response =
      HttpGet(u"http://localhost:"_s + port + u"/xxw/page.asp?rstr=20261208093000&s=%7e%e4#top"_s,
              ShortLimits());

  ASSERT_EQ(response.errNum, 0) << response.errDes.toStdString();
  const std::string head = server.LastHead();
  EXPECT_EQ(head.rfind("GET /xxw/page.asp?rstr=20261208093000&s=%7e%e4 HTTP/1.1\r\n", 0), 0u)
      << head;
  EXPECT_NE(head.find("\r\nHost: localhost:" + port.toStdString() + "\r\n"), std::string::npos)
      << head;
  EXPECT_NE(head.find("\r\nUser-Agent: Skyloom/"), std::string::npos) << head;
}

struct LibcurlNeed {
  const char* name;
  bool proxied;  // a proxy is named, so only libcurl can fetch
  bool broken;   // what the loader finds under libcurl's name is no library
  bool loaded;   // the loader opens libcurl
  int errNum;    // the logged attempt's
};

// The dynamic loader names every library it opens: a plain page must not need libcurl, and an
// install without a working one still logs the attempt that needed it, saying why.
TEST(FetchPaths, OnlyWhatNeedsLibcurlLoadsIt) {
  RawServer server([](int socket, const std::atomic<bool>&) {
    test::SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  });
  const LibcurlNeed needs[] = {{"plain", false, false, false, -1},
                               {"proxied", true, false, true, -1},
                               {"proxied_but_broken", true, true, true, CURLE_FAILED_INIT}};
  qputenv("LD_DEBUG", "files");
  for (const LibcurlNeed& need : needs) {
    SCOPED_TRACE(need.name);
    std::optional<ProxyVariable> proxy;
    if (need.proxied) proxy.emplace(server.Port());
    std::optional<test::BrokenLibrary> broken;
    if (need.broken) broken.emplace("libcurl.so.4");
    const test::ScratchDb db;

    const test::OnceRun run =
        test::RunOnce(QStringList{u"--url"_s, server.Url(u"/page"_s), u"--db"_s, db.Path()} +
                      test::ShortLimits());

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.err.contains(u"libcurl.so.4"_s), need.loaded);
    const auto log = db.Tqlog();
    ASSERT_EQ(log.size(), 1u);
    // An empty page is an empty retrieval, -1.
    EXPECT_EQ(log[0].errnum, need.errNum) << log[0].errdes.toStdString();
    if (need.broken) {
      EXPECT_TRUE(log[0].errdes.contains(u"the libcurl library could not be loaded"_s))
          << log[0].errdes.toStdString();
    }
  }
  qunsetenv("LD_DEBUG");
}

// Only libcurl speaks TLS: a redirect to https reaches it, which then finds nobody listening.
TEST(FetchPaths, ARedirectToHttpsIsFollowedByLibcurl) {
  const test::RefusingPort closed;
  const std::string target = "https://127.0.0.1:" + std::to_string(closed.Port()) + "/page";
  RawServer server([&target](int socket, const std::atomic<bool>&) {
    test::SendAll(socket,
                  "HTTP/1.1 302 Found\r\nLocation: " + target + "\r\nContent-Length: 0\r\n\r\n");
  });

  const ClientAnswer response = HttpGet(server.Url(u"/page"_s), ShortLimits());

  EXPECT_EQ(response.errNum, CURLE_COULDNT_CONNECT) << response.errDes.toStdString();
  EXPECT_TRUE(response.errDes.contains(QString::number(closed.Port())))
      << response.errDes.toStdString();
}

}  // namespace
}  // namespace skyloom
