#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "acquisition/page_client.h"
#include "support/gb_bytes.h"
#include "support/recorded_page.h"
#include "support/refusing_port.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

const QString kForecast = u"<p>今天夜里到明天：多云到阴，有时有小雨。东北风4到5级。</p>"_s;

TEST(PageClient, BlanksAroundTheAddressAreNotRequested) {
  test::TestServer server;
  const test::RecordedPage served(server, "/xxw/shortnb_output.asp", test::ToGbBytes(kForecast));
  server.Start();
  const QString address = server.Url(u"/xxw/shortnb_output.asp?rstr=7Dec2026170509"_s);

  PageClient client;
  const PageResponse page = client.Get(u"   "_s + address + u"  "_s);

  EXPECT_EQ(page.text, kForecast);
  EXPECT_EQ(page.errorNumber, 0);
  EXPECT_EQ(page.errorDescription, QString());
  EXPECT_EQ(served.Targets(),
            std::vector<std::string>{"/xxw/shortnb_output.asp?rstr=7Dec2026170509"});
}

TEST(PageClient, ABlankInsideTheAddressIsSentEncoded) {
  test::TestServer server;
  const test::RecordedPage served(server, "/a b", test::ToGbBytes(kForecast));
  server.Start();

  PageClient client;
  const PageResponse page = client.Get(server.Url(u"/a b"_s));
  EXPECT_EQ(page.text, kForecast);
  EXPECT_EQ(served.Targets(), std::vector<std::string>{"/a%20b"});
}

TEST(PageClient, AnErrorStatusStillGivesTheDecodedBody) {
  for (const int status : {404, 500, 503}) {
    SCOPED_TRACE(status);
    test::TestServer server;
    server.ServeBytes("/page", test::ToGbBytes(u"<h1>页面不存在</h1>"_s), status);
    server.Start();

    PageClient client;
    const PageResponse page = client.Get(server.Url(u"/page"_s));
    EXPECT_EQ(page.text, u"<h1>页面不存在</h1>"_s);
    EXPECT_EQ(page.errorNumber, 0);
    EXPECT_EQ(page.errorDescription, QString());
  }
}

TEST(PageClient, ARefusedConnectionIsReportedWithHostAndPort) {
  const test::RefusingPort port;
  PageClient client;
  const PageResponse page = client.Get(u"http://127.0.0.1:%1/page"_s.arg(port.Port()));

  EXPECT_TRUE(page.text.isEmpty());
  EXPECT_NE(page.errorNumber, 0);
  EXPECT_TRUE(page.errorDescription.contains(u"127.0.0.1"_s))
      << page.errorDescription.toStdString();
  EXPECT_TRUE(page.errorDescription.contains(QString::number(port.Port())))
      << page.errorDescription.toStdString();
}

TEST(PageClient, RedirectsAreFollowed) {
  for (const int status : {301, 302, 303, 307}) {
    SCOPED_TRACE(status);
    test::TestServer server;
    server.Http().Get("/old", [status](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("/new", status);
    });
    const test::RecordedPage served(server, "/new", test::ToGbBytes(kForecast));
    server.Start();

    PageClient client;
    const PageResponse page = client.Get(server.Url(u"/old"_s));
    EXPECT_EQ(page.text, kForecast);
    EXPECT_EQ(page.errorNumber, 0);
    EXPECT_EQ(served.Targets(), std::vector<std::string>{"/new"});
  }
}

TEST(PageClient, ARedirectLoopEndsWithAnError) {
  test::TestServer server;
  server.Http().Get("/loop", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/loop");
  });
  server.Start();

  PageClient client;
  const PageResponse page = client.Get(server.Url(u"/loop"_s));
  EXPECT_TRUE(page.text.isEmpty());
  EXPECT_NE(page.errorNumber, 0);
  EXPECT_TRUE(page.errorDescription.contains(u"redirect"_s, Qt::CaseInsensitive))
      << page.errorDescription.toStdString();
  EXPECT_LE(server.Requests(), 12);
}

TEST(PageClient, ASilentServerEndsAtTheTimeLimit) {
  test::TestServer server;
  server.Http().Get("/silent", [&server](const httplib::Request&, httplib::Response&) {
    while (!server.Stopping()) std::this_thread::sleep_for(20ms);
  });
  server.Start();

  PageClient client(HttpLimits{.connect = 1s, .whole = 1s});
  const PageResponse page = client.Get(server.Url(u"/silent"_s));
  EXPECT_TRUE(page.text.isEmpty());
  EXPECT_NE(page.errorNumber, 0);
  EXPECT_TRUE(page.errorDescription.contains(u"whole request 1 s"_s))
      << page.errorDescription.toStdString();
}

constexpr qsizetype kBodyLimit = 64 * 1024;

// Serves `size` bytes of ASCII, in chunks or with a length up front.
void ServeBody(test::TestServer& server, const std::string& path, size_t size, bool chunked) {
  server.Http().Get(path, [size, chunked](const httplib::Request&, httplib::Response& response) {
    if (!chunked) {
      response.set_content(std::string(size, 'a'), "text/html");
      return;
    }
    response.set_chunked_content_provider(
        "text/html", [size](size_t offset, httplib::DataSink& sink) {
          const std::string chunk(std::min<size_t>(8192, size - offset), 'a');
          if (!sink.write(chunk.data(), chunk.size())) return false;
          if (offset + chunk.size() == size) sink.done();
          return true;
        });
  });
}

class BodyLimit : public testing::TestWithParam<bool> {};

TEST_P(BodyLimit, ABodyOverTheLimitIsRefused) {
  test::TestServer server;
  ServeBody(server, "/big", 16 * kBodyLimit, GetParam());
  server.Start();

  PageClient client(HttpLimits{.maxBody = kBodyLimit});
  const PageResponse page = client.Get(server.Url(u"/big"_s));
  EXPECT_TRUE(page.text.isEmpty());
  EXPECT_NE(page.errorNumber, 0);
  EXPECT_TRUE(page.errorDescription.contains(u"limit of 0.0625 MiB"_s))
      << page.errorDescription.toStdString();
}

TEST_P(BodyLimit, ABodyOfExactlyTheLimitIsAccepted) {
  test::TestServer server;
  ServeBody(server, "/full", kBodyLimit, GetParam());
  server.Start();

  PageClient client(HttpLimits{.maxBody = kBodyLimit});
  const PageResponse page = client.Get(server.Url(u"/full"_s));
  EXPECT_EQ(page.text, QString(kBodyLimit, QLatin1Char('a')));
  EXPECT_EQ(page.errorNumber, 0);
}

INSTANTIATE_TEST_SUITE_P(Bodies, BodyLimit, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "chunked" : "with_length"; });

TEST(PageClient, AddressesThatAreNotHttpAreRefused) {
  for (const QString& address : {u"file:///etc/passwd"_s, u"ftp://127.0.0.1/"_s,
                                 u"gopher://127.0.0.1/"_s, u"not an address"_s, QString()}) {
    SCOPED_TRACE(address.toStdString());
    PageClient client;
    const PageResponse page = client.Get(address);
    EXPECT_TRUE(page.text.isEmpty());
    EXPECT_NE(page.errorNumber, 0);
    EXPECT_FALSE(page.errorDescription.isEmpty());
  }
}

TEST(PageClient, ARedirectToALocalFileIsRefused) {
  test::TestServer server;
  server.Http().Get("/tofile", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("file:///etc/passwd");
  });
  server.Start();

  PageClient client;
  const PageResponse page = client.Get(server.Url(u"/tofile"_s));
  EXPECT_TRUE(page.text.isEmpty());
  EXPECT_NE(page.errorNumber, 0);
}

}  // namespace
}  // namespace skyloom
