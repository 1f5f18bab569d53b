#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <regex>
#include <thread>

#include "platform/open_files.h"
#include "platform/program_info.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "store/open_store.h"
#include "support/application.h"
#include "support/fake_clock.h"
#include "support/loopback_socket.h"
#include "support/pg_server.h"
#include "support/raw_client.h"
#include "support/test_database.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

struct Answer : test::RawExchange {
  QJsonDocument json;
};

// A request head as a client writes it; `more` holds further header lines.
std::string Head(const std::string& requestLine, const std::string& more = {}) {
  return requestLine + " HTTP/1.1\r\nHost: x\r\n" + more + "\r\n";
}

// The fields `key` of a JSON array, joined by commas; "member/key" reads the array (or the one
// object) there.
QString Column(const QJsonDocument& json, const QString& key) {
  const QJsonValue member = key.contains(u'/') ? json[key.section(u'/', 0, 0)] : json.array();
  const QJsonArray array = member.isObject() ? QJsonArray{member} : member.toArray();
  QStringList values;
  for (const QJsonValue& item : array) values << item[key.section(u'/', -1)].toVariant().toString();
  return values.join(u',');
}

// A connection kept open while what the server sends is read: a stream or a waiting request.
struct Held {
  explicit Held(int port, const std::string& head, const char* from = "127.0.0.1")
      : fd(test::ConnectLoopback(port, from)), sent(head) {
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  }
  ~Held() {
    test::Record(sent, received);
    ::close(fd);
  }
  // Reads until `text` has come, the server closed, or `waitMs` passed; whether it came.
  bool ReadUntil(std::string_view text, int waitMs = 5'000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (received.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{fd, POLLIN, 0};
      char chunk[65536];
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return closed = true, false;
      received.append(chunk, static_cast<std::size_t>(n));
    }
    return received.find(text) != std::string::npos;
  }
  // The ids of the forecast events received, in order.
  std::string Ids() const {
    std::string ids;
    for (std::size_t at = received.find("\nid: "); at != std::string::npos;
         at = received.find("\nid: ", at + 1)) {
      if (!ids.empty()) ids += ',';
      ids += received.substr(at + 5, received.find('\n', at + 5) - at - 5);
    }
    return ids;
  }
  const int fd;
  const std::string sent;
  std::string received;
  bool closed = false;
};

class HttpApiTest : public testing::TestWithParam<test::Backend> {
 protected:
  HttpApiTest() { test::Application(); }
  void SetUp() override {
    const auto started = api.Start(u"127.0.0.1:0"_s);
    ASSERT_TRUE(started.has_value()) << started.error().toStdString();
    bound = *started;
    port = bound.section(u':', 1).toInt();
  }

  // Waits until the API serves what the store holds now: a write by another program reaches
  // it on its own, but not at a time a test can tell.
  void Seen() { ASSERT_TRUE(api.CatchUp()); }
  void MakeTables() {
    db->MakeTablesElsewhere();
    Seen();
  }

  Answer Send(const std::string& bytes) {
    Answer answer{test::Exchange(port, bytes), {}};
    answer.json = QJsonDocument::fromJson(QByteArray::fromStdString(answer.Body()));
    return answer;
  }
  Answer Get(const std::string& target, const std::string& more = {}) {
    return Send(Head("GET " + target, more + "Connection: close\r\n"));
  }
  void AddForecast(int day) {
    db->Exec(u"INSERT INTO tq(logtime, tqyb) VALUES ('2026-03-%1 07:00:00', '第%2&nbsp;天')"_s
                 .arg(day, 2, 10, QChar(u'0'))
                 .arg(day));
  }
  // As a collector stores it, announcement included.
  void Store(const QString& text) {
    const auto store = OpenStore(db->Location());
    ASSERT_FALSE(store->Record(FetchResult{0, {}, text}).error);
  }
  void AddAttempt(int minute, bool fetched) {
    db->Exec(u"INSERT INTO tqlog VALUES ('2026-03-01 07:%1:00', '%2', %3, '%4')"_s.arg(minute)
                 .arg(fetched ? u"正常获取"_s : u"获取错误"_s)
                 .arg(fetched ? 0 : 7)
                 .arg(fetched ? u"未写入"_s : u"Could not connect to server"_s));
  }

  std::unique_ptr<test::TestDatabase> db = test::MakeTestDatabase(GetParam());
  Metrics metrics;
  // After the attempts the tests log, before the next timed fetch is overdue.
  test::FakeClock clock{QDateTime(QDate(2026, 3, 1), QTime(7, 30))};
  HttpApi api{db->Location(), PgLimits{}, metrics, clock};
  QString bound;
  int port = 0;
};

TEST_P(HttpApiTest, ADatabaseWithoutTablesIsAnErrorAndStaysAsItWas) {
  const QUrl location(db->Location());
  for (const char* target :
       {"/forecast", "/forecasts", "/attempts", "/health", "/page/status.json"}) {
    const Answer answer = Get(target);
    EXPECT_EQ(answer.Status(), 503) << target;
    EXPECT_TRUE(answer.json["error"].isString() || answer.json["reason"].isString()) << target;
    // Who reads the database, and how, is for the log only; /health names the server alone.
    const bool named = QByteArrayView(target) == "/health";
    for (const QString& secret :
         {db->Location(), location.userName(), named ? QString() : location.host(),
          named ? QString() : u":%1"_s.arg(location.port())}) {
      if (secret.isEmpty() || secret == u":-1"_s) continue;
      EXPECT_FALSE(QString::fromStdString(answer.Body()).contains(secret)) << answer.Body();
    }
  }
  if (GetParam() == test::Backend::Sqlite) {
    EXPECT_FALSE(QFileInfo::exists(db->Location()));
  } else {
    EXPECT_ANY_THROW(db->Exec(u"SELECT 1 FROM tq"_s));
  }
}

TEST_P(HttpApiTest, TheNewestForecastCarriesItsIdAsTagAndShowsNewRowsSoon) {
  MakeTables();
  Answer answer = Get("/forecast");
  EXPECT_EQ(answer.Status(), 404);
  EXPECT_TRUE(answer.json["error"].isString());

  AddForecast(1);
  AddForecast(2);
  // Another program's row shows once the store watcher has seen it, unasked: on an SQLite
  // file at once, on a server at the next look.
  for (int tries = 0; tries < 50 && answer.Status() != 200; ++tries) {
    std::this_thread::sleep_for(100ms);
    answer = Get("/forecast");
  }
  ASSERT_EQ(answer.Status(), 200);
  EXPECT_EQ(answer.json.object(), (QJsonObject{{u"id"_s, 2},
                                               {u"logtime"_s, u"2026-03-02 07:00:00"_s},
                                               {u"text"_s, u"第2&nbsp;天"_s},
                                               {u"fields"_s, QJsonValue()}}));
  EXPECT_EQ(answer.Header("ETag"), "\"2\"");
  const struct {
    std::string conditions;
    int status;
  } cases[] = {
      {"If-None-Match: \"2\"\r\n", 304},
      {"If-None-Match: \"1\", W/\"2\"\r\n", 304},
      {"If-None-Match: \"1\"\r\nIf-None-Match: \"2\"\r\n", 304},
      {"If-None-Match: \"1\"\r\n", 200},
  };
  for (const auto& c : cases) {
    const Answer conditional = Get("/forecast", c.conditions);
    EXPECT_EQ(conditional.Status(), c.status) << c.conditions;
    EXPECT_EQ(conditional.Header("ETag"), "\"2\"") << c.conditions;
    if (c.status != 304) continue;
    EXPECT_EQ(conditional.Header("Content-Length"), "<none>");
    EXPECT_EQ(conditional.Header("Content-Type"), "<none>");
    EXPECT_EQ(conditional.Body(), "");
  }
}

TEST_P(HttpApiTest, ForecastsAndAttemptsComeNewestFirstPageByPage) {
  MakeTables();
  for (int day = 1; day <= 5; ++day) AddForecast(day);
  for (int minute = 10; minute <= 12; ++minute) AddAttempt(minute, minute != 11);
  Seen();
  const struct {
    std::string target;
    QString key;
    QString values;
  } cases[] = {
      {"/forecasts", u"id"_s, u"5,4,3,2,1"_s},
      {"/forecasts?limit=2", u"id"_s, u"5,4"_s},
      {"/forecasts?limit=2&before=4", u"id"_s, u"3,2"_s},
      {"/forecasts?before=1", u"id"_s, u""_s},
      {"/forecasts?limit=1000&before=3", u"text"_s, u"第2&nbsp;天,第1&nbsp;天"_s},
      {"/attempts", u"errnum"_s, u"0,7,0"_s},
      {"/attempts?limit=2", u"logtime"_s, u"2026-03-01 07:12:00,2026-03-01 07:11:00"_s},
      {"/attempts", u"status"_s, u"正常获取,获取错误,正常获取"_s},
      {"/attempts?limit=1", u"description"_s, u"未写入"_s},
      {"/page/status.json", u"attempts/errnum"_s, u"0,7,0"_s},
      {"/page/status.json", u"attempts/failed"_s, u"false,true,false"_s},
      {"/page/status.json", u"diff/kind"_s, u"same,deleted,inserted,same"_s},
      {"/page/status.json", u"diff/text"_s, u"第,4,5,\u00a0天"_s},
      {"/page/status.json", u"forecast/text"_s, u"第5&nbsp;天"_s},
      {"/page/status.json", u"forecast/readable_text"_s, u"第5\u00a0天"_s},
  };
  for (const auto& c : cases) {
    const Answer answer = Get(c.target);
    EXPECT_EQ(answer.Status(), 200) << c.target;
    EXPECT_EQ(Column(answer.json, c.key), c.values) << c.target;
  }
}

// A standby is judged by the group's log like the active collector.
TEST_P(HttpApiTest, HealthFollowsTheNewestAttempt) {
  MakeTables();
  api.SetRole(GroupStanding{CollectorRole::Standby, QDateTime(QDate(2026, 3, 1), QTime(7, 5)), 2});
  const struct {
    int addMinute;  // 0: nothing added
    bool fetched;
    int status;
    QJsonValue lastAttempt;
    QJsonValue lastSuccess;
    int failures;
    QString problem;  // as the status page names it
  } steps[] = {
      {0, false, 503, QJsonValue(), QJsonValue(), 0, u"no_attempt"_s},
      {10, true, 200, u"2026-03-01 07:10:00"_s, u"2026-03-01 07:10:00"_s, 0, u""_s},
      {15, false, 503, u"2026-03-01 07:15:00"_s, u"2026-03-01 07:10:00"_s, 1, u"failed"_s},
      {20, false, 503, u"2026-03-01 07:20:00"_s, u"2026-03-01 07:10:00"_s, 2, u"failed"_s},
  };
  for (const auto& step : steps) {
    if (step.addMinute != 0) AddAttempt(step.addMinute, step.fetched);
    Seen();
    const Answer answer = Get("/health");
    EXPECT_EQ(answer.Status(), step.status) << step.addMinute;
    EXPECT_EQ(answer.json["healthy"].toBool(), step.status == 200);
    EXPECT_EQ(answer.json["last_attempt"], step.lastAttempt);
    EXPECT_EQ(answer.json["last_success"], step.lastSuccess);
    EXPECT_EQ(answer.json["consecutive_failures"], step.failures);
    EXPECT_EQ(answer.json["reason"].isString(), step.status != 200) << answer.Body();
    EXPECT_EQ(answer.json["role"], u"standby"_s);
    EXPECT_EQ(answer.json["turn_taken"], u"2026-03-01 07:05:00"_s);
    const QJsonValue page = Get("/page/status.json").json["health"];
    EXPECT_EQ(page["problem"], step.problem);
    EXPECT_EQ(page["role"], u"standby"_s);
  }
  // After a window's last fetch the next is due when the next window opens, 09:15; ten minutes
  // later a collector that logged nothing has stalled.
  AddAttempt(50, true);
  Seen();
  for (const auto& [at, reason] :
       {std::pair{QTime(9, 25), QJsonValue()},
        {QTime(9, 25, 1),
         u"no attempt logged since the timed fetch due at 2026-03-01 09:15:00"_s}}) {
    clock.Set(at);
    EXPECT_EQ(Get("/health").json["reason"], reason);
    EXPECT_EQ(Get("/page/status.json").json["health"]["problem"],
              reason.isNull() ? u""_s : u"stalled"_s);
  }
}

TEST_P(HttpApiTest, MetricsCountAttemptsByResultAndTellTheLogsFailures) {
  MakeTables();
  AddAttempt(10, true);
  AddAttempt(20, false);
  Seen();
  const qint64 lastSuccess = QDateTime(QDate(2026, 3, 1), QTime(7, 10)).toSecsSinceEpoch();
  StoreResult stored{
      StoreOutcome::Stored, AttemptRow{{}, u"正常获取"_s, 0, u"成功写入"_s, {}}, 3, {}};
  StoreResult failed{
      StoreOutcome::NotCompared, AttemptRow{{}, u"获取错误"_s, 7, u"x"_s, {}}, 0, {}};
  metrics.RecordAttempt(stored, 200ms);
  metrics.RecordAttempt(failed, 40s);
  metrics.AddRowsRemoved(1000, 2);
  metrics.AddRowsRemoved(5, 0);

  const Answer answer = Get("/metrics");
  EXPECT_EQ(answer.Status(), 200);
  EXPECT_EQ(answer.Header("Content-Type"), "text/plain; version=0.0.4");
  for (const std::string& line : std::vector<std::string>{
           "skyloom_attempts_total{result=\"stored\"} 1",
           "skyloom_attempts_total{result=\"error\"} 1",
           "skyloom_attempts_total{result=\"empty\"} 0", "skyloom_forecasts_stored_total 1",
           "skyloom_last_success_timestamp_seconds " + std::to_string(lastSuccess),
           "skyloom_consecutive_failures 1", "skyloom_fetch_duration_seconds_bucket{le=\"0.25\"} 1",
           "skyloom_fetch_duration_seconds_bucket{le=\"30\"} 1",
           "skyloom_fetch_duration_seconds_bucket{le=\"60\"} 2",
           "skyloom_fetch_duration_seconds_count 2", "skyloom_fetch_duration_seconds_sum 40.200",
           "skyloom_role{role=\"active\"} 1", "skyloom_role{role=\"standby\"} 0",
           "skyloom_takeovers_total 0", "skyloom_rows_removed_total{table=\"tqlog\"} 1005",
           "skyloom_rows_removed_total{table=\"outbox\"} 2", "skyloom_event_streams 0",
           "skyloom_long_polls_waiting 0",
           "skyloom_build_info{version=\"" + VersionText().toStdString() + "\"} 1"}) {
    EXPECT_NE(answer.Body().find(line + '\n'), std::string::npos) << line;
  }
}

// Requests as raw bytes: what the server refuses itself is answered and the connection
// closed, whatever the client asked for.
TEST_P(HttpApiTest, EveryAnswerIsJsonForAnyOriginAndBadRequestsDoNotStopServing) {
  MakeTables();
  AddForecast(1);
  AddAttempt(10, true);
  Seen();
  const std::string kb9(9 * 1024, 'a');
  const std::string close = "Connection: close\r\n";
  struct Case {
    std::string request;
    int status;
    std::string type = "application/json";
    std::string language{};  // of a page, as the browser's Accept-Language picks it
    int next = 0;            // the status of a second answer on the same connection
  };
  const std::string html = "text/html; charset=utf-8";
  std::vector<Case> cases = {
      {Head("GET /forecast", close), 200},
      {Head("HEAD /forecast", close), 200},
      {Head("GET /forecasts?limit=1000", close), 200},
      {Head("GET /attempts?limit=1", close), 200},
      {Head("GET /health", close), 200},
      {Head("GET /forecast", "Range: bytes=0-5\r\n" + close), 200},
      {"GET /forecast HTTP/1.0\r\n\r\n", 200},
      {Head("GET /forecast") + Head("GET /nothing", close), 200, "application/json", "", 404},
      {"GET /health HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" + Head("GET /nothing", close), 200,
       "application/json", "", 404},
      // A body is never read, so nothing after it can be told from it.
      {Head("GET /forecast", "Content-Length: 3\r\n\r\nabc") + Head("GET /nothing"), 200},
      {Head("OPTIONS /forecast", "Origin: http://a.example\r\n" + close), 204},
      {Head("GET /nothing", close), 404},
      {Head("GET /forecast/", close), 404},
      {Head("POST /forecast", "Content-Length: 0\r\n" + close), 405},
      {Head("DELETE /forecasts", close), 405},
      {Head("GET /forecast?" + kb9), 414},
      {Head("GET /forecast?" + std::string(33 * 1024, 'a')), 414},
      {Head("GET /forecast", "X-Big: " + kb9 + "\r\n"), 431},
      {Head("GET /forecast", "X-A: " + kb9.substr(4600) + "\r\nX-B: " + kb9.substr(4600) + "\r\n"),
       431},
      {Head("GET /forecast", "Content-Length: 0\r\nContent-Length: 0\r\n"), 400},
      {Head("GET /forecast", "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab"), 400},
      {Head("GET /forecast", "Content-Length: 0, 0\r\n"), 400},
      {Head("GET /forecast", "Transfer-Encoding : chunked\r\n"), 400},
      {Head("GET /forecast", std::string("X-Note: a\0b\r\n", 13)), 400},
      {Head("GET /forecast", "Host: y\r\n"), 400},
      {"GET /forecast HTTP/1.1\r\n\r\n", 400},
      {Head("GET /", close), 200, html, "en"},
      {Head("HEAD /", close), 200, html, "en"},
      {Head("GET /", "Accept-Language: zh-TW\r\n" + close), 200, html, "zh-CN"},
      {Head("GET /", "Accept-Language: fr, zh;q=0.5, en;q=0.4\r\n" + close), 200, html, "zh-CN"},
      {Head("GET /", "Accept-Language: zh;q=0.5, en-US\r\n" + close), 200, html, "en"},
      {Head("GET /", "Accept-Language: zhx, *;q=0.1\r\n" + close), 200, html, "en"},
      {Head("GET /", "Accept-Language: zh;Q=0, en;q=0.1\r\n" + close), 200, html, "en"},
      {Head("GET /", "Accept-Language: zh;sq=0;q=0.9, en;q=0.8\r\n" + close), 200, html, "zh-CN"},
      {Head("GET /page/status.css", close), 200, "text/css; charset=utf-8"},
      {Head("GET /page/status.js", close), 200, "text/javascript; charset=utf-8"},
      {Head("GET /page/icon.svg", close), 200, "image/svg+xml"},
      {Head("GET /page/status.json", close), 200},
      {Head("GET /page/", close), 404},
      {Head("GET /?lang=zh", close), 200, html, "en"},
      {Head("GET /feed.atom", close), 200, "application/atom+xml; charset=utf-8"},
      {Head("GET /events?after=x", close), 400},
      {Head("GET /forecast?after=1&wait=0", close), 400},
      {Head("GET /forecast?after=1&wait=301", close), 400},
      {Head("GET /forecast?after=-1&wait=1", close), 400},
  };
  for (const char* query :
       {"limit=0", "limit=1001", "limit=-1", "limit=%2B1", "limit=%201", "limit=1x",
        "limit=", "before=0", "before=9223372036854775808", "limit=1&limit=2", "lmit=2",
        "limit=abc=3", "limit", "limit=1&", "&limit=1", "limit=%zz", "limit=1%"}) {
    cases.push_back({Head(std::string("GET /forecasts?") + query, close), 400});
  }
  for (const Case& c : cases) {
    Answer answer = Send(c.request);
    const std::string name = c.request.substr(0, c.request.find('\r')).substr(0, 40);
    EXPECT_EQ(answer.Status(), c.status) << name;
    if (c.next != 0) {
      const std::size_t first =
          answer.received.find("\r\n\r\n") + 4 + std::stoul(answer.Header("Content-Length"));
      const test::RawExchange second{answer.received.substr(first), answer.closed};
      EXPECT_EQ(second.Status(), c.next) << name;
      answer.received.resize(first);
      answer.json = QJsonDocument::fromJson(QByteArray::fromStdString(answer.Body()));
    }
    EXPECT_TRUE(answer.closed) << name;
    EXPECT_EQ(answer.Header("Access-Control-Allow-Origin"), "*") << name;
    EXPECT_EQ(answer.Header("Access-Control-Expose-Headers"), "ETag") << name;
    if (c.status == 204) {
      EXPECT_EQ(answer.Header("Access-Control-Allow-Methods"), "GET, HEAD");
      EXPECT_EQ(answer.Header("Access-Control-Allow-Headers"), "If-None-Match");
      continue;
    }
    EXPECT_EQ(answer.Header("Content-Type"), c.type) << name;
    if (c.type != "application/json") {
      EXPECT_NE(answer.Header("Content-Security-Policy").find("script-src 'self';"),
                std::string::npos)
          << name;
      EXPECT_EQ(answer.Header("X-Content-Type-Options"), "nosniff") << name;
    }
    if (!c.language.empty()) {
      EXPECT_EQ(answer.Header("Content-Language"), c.language) << name;
      EXPECT_EQ(answer.Header("Vary"), "Accept-Language") << name;
      if (!c.request.starts_with("HEAD")) {
        EXPECT_NE(answer.Body().find("<html lang=\"" + c.language + "\">"), std::string::npos);
      }
    }
    if (c.request.starts_with("HEAD")) {
      EXPECT_EQ(answer.Body(), "") << name;
      EXPECT_NE(answer.Header("Content-Length"), "0") << name;
      continue;
    }
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(answer.Body().size())) << name;
    EXPECT_TRUE(c.type != "application/json" ? !answer.Body().empty()
                : c.status < 400             ? answer.json.isObject() || answer.json.isArray()
                                             : answer.json["error"].isString())
        << name;
  }
  EXPECT_EQ(Get("/health").Status(), 200);
}

// Every collector hears of a forecast from the store, whoever stored it: here another program.
TEST_P(HttpApiTest, StreamsAndWaitingRequestsGetEachNewForecastOnce) {
  MakeTables();
  // More than a resumed stream is given, so that one resuming from the first misses some.
  QStringList older;
  for (int id = 1; id < 150; ++id) {
    older << u"('%1', '第%2天')"_s.arg(QDateTime(QDate(2026, 3, 1), QTime(7, 0))
                                           .addSecs(id * 60)
                                           .toString(u"yyyy-MM-dd HH:mm:ss"_s),
                                       id);
  }
  db->Exec(u"INSERT INTO tq(logtime, tqyb) VALUES "_s + older.join(u','));
  Store(u"第150天"_s);
  EXPECT_EQ(Get("/forecast?after=149&wait=5").json["id"], 150);
  const Answer unchanged = Get("/forecast?after=150&wait=1");
  EXPECT_EQ(unchanged.Status(), 304);
  EXPECT_EQ(unchanged.Header("ETag"), "\"150\"");
  std::string newest100;
  for (int id = 51; id <= 150; ++id)
    newest100.append(id > 51 ? "," : "").append(std::to_string(id));
  const struct {
    std::string target;
    std::string more;
    std::string ids;  // before the live one
  } cases[] = {
      {"/events", "", "150"},
      {"/events", "Last-Event-ID: 1\r\n", newest100},
      {"/events?after=148", "", "149,150"},
      {"/events", "Last-Event-ID: 150\r\n", ""},
      {"/events", "Last-Event-ID: x\r\n", "150"},
  };
  std::vector<std::unique_ptr<Held>> streams;
  for (const auto& c : cases) {
    streams.push_back(std::make_unique<Held>(port, Head("GET " + c.target, c.more)));
    EXPECT_TRUE(streams.back()->ReadUntil("retry: 5000\n\n")) << c.target << c.more;
    // Its backlog sent, it has joined: the next forecast reaches it live.
    if (!c.ids.empty()) {
      EXPECT_TRUE(streams.back()->ReadUntil("id: 150\n")) << c.target << c.more;
    }
  }
  Held waiting(port, Head("GET /forecast?after=150&wait=60"));
  Held tagged(port, Head("GET /forecast?wait=60", "If-None-Match: W/\"150\"\r\n"));
  Store(u"第151天"_s);
  const std::string live = Get("/forecast?after=150&wait=5").Body();
  for (std::size_t i = 0; i < streams.size(); ++i) {
    EXPECT_TRUE(streams[i]->ReadUntil("id: 151\n")) << streams[i]->received;
    EXPECT_EQ(streams[i]->Ids(), cases[i].ids + (cases[i].ids.empty() ? "151" : ",151"));
    EXPECT_NE(streams[i]->received.find("event: forecast\nid: 151\ndata: " + live + "\n\n"),
              std::string::npos);
  }
  for (Held* poll : {&waiting, &tagged}) {
    EXPECT_TRUE(poll->ReadUntil("\"text\":\"第151天\"}")) << poll->received;
    EXPECT_TRUE(poll->received.starts_with("HTTP/1.1 200")) << poll->received;
  }
  // A change of health is news to every stream, and stopping ends them all at once. On
  // PostgreSQL a failure, which notifies nobody, is seen at the next look, 2 s on at most.
  ASSERT_FALSE(OpenStore(db->Location())->Record(FetchResult{7, u"refused"_s, {}}).error);
  for (const auto& stream : streams) {
    EXPECT_TRUE(stream->ReadUntil("\"consecutive_failures\":1", 15'000)) << stream->received;
  }
  api.Stop();
  for (const auto& stream : streams) {
    EXPECT_FALSE(stream->ReadUntil("never sent", 2'000));
    EXPECT_TRUE(stream->closed);
  }
}

// Ids made of the forecast alone, the same after a restart, and text any feed reader takes.
TEST_P(HttpApiTest, TheFeedParsesAndKeepsItsIdsAcrossARestart) {
  MakeTables();
  AddForecast(1);
  Store(u"晴&nbsp;转<多云> & 风\u0001\u0008"_s);
  Seen();
  const Answer feed = Get("/feed.atom");
  ASSERT_EQ(feed.Status(), 200);
  EXPECT_EQ(Get("/feed.atom", "If-None-Match: \"2\"\r\n").Status(), 304);
  const std::string described = Get("/openapi.json").Header("ETag");
  EXPECT_EQ(Get("/openapi.json", "If-None-Match: " + described + "\r\n").Status(), 304);
  QTemporaryDir folder;
  QFile file(folder.filePath(u"feed.atom"_s));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QByteArray::fromStdString(feed.Body()));
  file.close();
  QProcess parser;
  parser.start(
      u"/usr/bin/python3"_s,
      {u"-c"_s,
       u"import feedparser, sys\n"
       "d = feedparser.parse(sys.argv[1])\n"
       "assert not d.bozo, d.get('bozo_exception')\n"
       "print(d.feed.updated)\n"
       "for e in d.entries: print(e.id, e.title, e.updated, e.summary, e.get('skyloom_fields'),"
       " sep='|')\n"_s,
       file.fileName()});
  ASSERT_TRUE(parser.waitForFinished(30'000));
  // The test's set of packages brings python3-feedparser: its absence is a failure.
  const QString parsed = QString::fromUtf8(parser.readAllStandardOutput());
  ASSERT_FALSE(parsed.isEmpty()) << parser.readAllStandardError().toStdString();
  const QStringList lines = parsed.split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 3) << parsed.toStdString();
  const QStringList newest = lines[1].split(u'|');
  EXPECT_EQ(newest[0], u"tag:skyloom.forecast,2026:forecast-2"_s);
  EXPECT_EQ(lines[0], newest[2]);
  EXPECT_EQ(newest[3], u"晴 转<多云> & 风"_s);
  EXPECT_EQ(newest.value(4), u"null"_s);  // no bulletin heading, so no fields
  EXPECT_EQ(
      lines[2].section(u'|', 0, 2),
      u"tag:skyloom.forecast,2026:forecast-1|2026-03-01 07:00:00|"_s +
          QDateTime::fromString(u"2026-03-01 07:00:00"_s, Qt::ISODate)
              .toOffsetFromUtc(
                  QDateTime::fromString(u"2026-03-01 07:00:00"_s, Qt::ISODate).offsetFromUtc())
              .toString(Qt::ISODate));
  api.Stop();
  HttpApi restarted(db->Location(), PgLimits{}, metrics, clock);
  const auto again = restarted.Start(u"127.0.0.1:0"_s);
  ASSERT_TRUE(again.has_value());
  port = again->section(u':', 1).toInt();
  EXPECT_EQ(Get("/feed.atom").Body(), feed.Body());
}

// A client that stops reading is let go before it costs much; beyond the bound of streams
// others are told to come back, and the API serves on.
TEST_P(HttpApiTest, HostileStreamClientsAreBounded) {
  if (GetParam() != test::Backend::Sqlite) GTEST_SKIP() << "the same on every backend";
  RaiseOpenFileLimit();
  if (FreeDescriptors() < 2000) GTEST_SKIP() << "the open-file limit is too low for this test";
  MakeTables();
  AddForecast(1);
  const int small = 4096;
  const int sleeper = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::setsockopt(sleeper, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(::connect(sleeper, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
  const std::string head = Head("GET /events");
  ::send(sleeper, head.data(), head.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(500ms);
  const QString big(64 * 1024, u'晴');
  for (int i = 0; i < 10; ++i) Store(big + QString::number(i));
  Store(u"晴"_s);
  EXPECT_EQ(Get("/forecast?after=11&wait=10").json["id"], 12);
  for (int tries = 0; tries < 50; ++tries) {
    if (Get("/metrics").Body().find("skyloom_event_streams 0\n") != std::string::npos) break;
    std::this_thread::sleep_for(100ms);
  }

  std::vector<std::unique_ptr<Held>> crowd;
  int open = 0;
  int busy = 0;
  for (int i = 0; i < 600; ++i) {
    crowd.push_back(
        std::make_unique<Held>(port, head, ("127.0.4." + std::to_string(2 + i / 50)).c_str()));
  }
  for (const auto& held : crowd) {
    held->ReadUntil("\r\n\r\n");
    open += held->received.starts_with("HTTP/1.1 200");
    busy += held->received.starts_with("HTTP/1.1 503") &&
            held->received.find("Retry-After: 5\r\n") != std::string::npos;
  }
  EXPECT_EQ(open, 512);
  EXPECT_EQ(busy, 88);
  EXPECT_NE(Get("/metrics").Body().find("skyloom_event_streams 512\n"), std::string::npos);
  // What the sleeper finds when it wakes: the start, then the end of its stream.
  std::string taken;
  for (char chunk[65536];;) {
    pollfd ready{sleeper, POLLIN, 0};
    if (::poll(&ready, 1, 10'000) <= 0) break;
    const ssize_t n = ::recv(sleeper, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    taken.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(sleeper);
  EXPECT_TRUE(taken.starts_with("HTTP/1.1 200")) << taken.substr(0, 100);
  EXPECT_EQ(taken.find("晴9\"}"), std::string::npos);
  EXPECT_TRUE(crowd.front()->ReadUntil("\nid: 12\n"));
}

TEST_P(HttpApiTest, AnAddressThatCannotBeHadIsNamed) {
  if (GetParam() != test::Backend::Sqlite) GTEST_SKIP() << "the same on every backend";
  int busyPort = 0;
  const int busy = test::BindLoopback(busyPort);
  ::listen(busy, 1);
  const struct {
    QString address;
    QString error;
  } cases[] = {
      {u"127.0.0.1"_s, u"is not HOST:PORT"_s},
      {u"127.0.0.1:65536"_s, u"is not HOST:PORT"_s},
      {u"127.0.0.1: 80"_s, u"is not HOST:PORT"_s},
      {u"no-such-host.invalid:0"_s, u"cannot listen on no-such-host.invalid:0"_s},
      {u"127.0.0.1:%1"_s.arg(busyPort), u"Address already in use"_s},
      {bound, u"Address already in use"_s},  // this very API: no second server shares it
  };
  for (const auto& c : cases) {
    HttpApi other(db->Location(), PgLimits{}, metrics, clock);
    const auto started = other.Start(c.address);
    ASSERT_FALSE(started.has_value()) << c.address.toStdString();
    EXPECT_TRUE(started.error().contains(c.error)) << started.error().toStdString();
  }
  ::close(busy);
}

// Whether the server has closed `fd`: end of stream, or a reset.
bool ClosedByServer(int fd) {
  char byte = 0;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN);
}

// Idle and trickling clients cost a socket each, never a thread: beyond the bound the
// longest waiting make room, an address gets no more than its share, every head has its
// deadline however its bytes trickle in, and every other request is answered meanwhile.
TEST_P(HttpApiTest, IdleAndTricklingClientsLeaveOtherRequestsServed) {
  if (GetParam() != test::Backend::Sqlite) GTEST_SKIP() << "the same on every backend";
  RaiseOpenFileLimit();
  if (FreeDescriptors() < 4000) GTEST_SKIP() << "the open-file limit is too low for this test";
  db->MakeTablesElsewhere();
  AddAttempt(10, true);
  // A bound the test can exceed with fewer descriptors than the default one.
  ServerLimits limits;
  limits.connections = 1000;
  HttpApi bounded(db->Location(), PgLimits{}, metrics, clock, {}, limits);
  const auto started = bounded.Start(u"127.0.0.1:0"_s);
  ASSERT_TRUE(started.has_value()) << started.error().toStdString();
  port = started->section(u':', 1).toInt();
  std::vector<int> idle;
  std::vector<int> trickling;
  // From addresses of their own, 50 each, so that the per-address bound does not refuse them.
  for (int i = 0; i < 1200; ++i) {
    idle.push_back(test::ConnectLoopback(port, ("127.0.1." + std::to_string(2 + i / 50)).c_str()));
    ASSERT_GE(idle.back(), 0);
  }
  for (int i = 0; i < 100; ++i) {
    trickling.push_back(
        test::ConnectLoopback(port, ("127.0.2." + std::to_string(2 + i / 50)).c_str()));
    ASSERT_GE(trickling.back(), 0);
  }
  std::vector<int> crowd;
  for (std::size_t i = 0; i <= limits.connectionsPerAddress; ++i) {
    crowd.push_back(test::ConnectLoopback(port, "127.0.3.2"));
  }
  // Both loops accept, so the one refused is one of the crowd, not always the last to come.
  std::vector<pollfd> crowdReady;
  for (const int fd : crowd) crowdReady.push_back({fd, POLLIN, 0});
  ASSERT_EQ(::poll(crowdReady.data(), crowdReady.size(), 5'000), 1);
  const auto refused = std::find_if(crowdReady.begin(), crowdReady.end(),
                                    [](const pollfd& p) { return p.revents != 0; });
  char refusal[13] = {};
  const ssize_t got = ::recv(refused->fd, refusal, 12, MSG_WAITALL);
  EXPECT_STREQ(refusal, "HTTP/1.1 429") << "received " << got;

  const std::string head =
      "GET /health HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(40, 'a') + "\r\n\r\n";
  std::size_t sent = 0;
  std::size_t cut = 0;
  // One byte every 250 ms would take 20 s; the head limit is 10 s. Unless the server cuts
  // them off, the heads arrive whole.
  for (std::size_t round = 0; cut < trickling.size() && round < head.size(); ++round) {
    cut = 0;
    for (const int fd : trickling) {
      cut += ClosedByServer(fd) || ::send(fd, &head[sent], 1, MSG_NOSIGNAL) != 1;
    }
    ++sent;
    EXPECT_EQ(Get("/health").Status(), 200) << "round " << round;
    if (round == 4) {
      const auto held =
          std::count_if(idle.begin(), idle.end(), [](int fd) { return !ClosedByServer(fd); }) +
          std::count_if(trickling.begin(), trickling.end(),
                        [](int fd) { return !ClosedByServer(fd); });
      EXPECT_LE(static_cast<std::size_t>(held), limits.connections);
    }
    std::this_thread::sleep_for(250ms);
  }
  EXPECT_EQ(cut, trickling.size());
  EXPECT_LT(sent, head.size());
  for (const auto* fds : {&idle, &trickling, &crowd}) {
    for (const int fd : *fds) ::close(fd);
  }
}

// A crowd of new streams at once, from many addresses: each is answered from memory, so every
// one is either refused at once or kept, and every one kept hears of the next forecast.
TEST_P(HttpApiTest, ABurstOfStreamsIsOpenedOrRefusedNeverAnsweredAndDropped) {
  RaiseOpenFileLimit();
  if (FreeDescriptors() < 2000) GTEST_SKIP() << "the open-file limit is too low for this test";
  MakeTables();
  Store(u"第1天"_s);
  Seen();
  const std::string head = Head("GET /events");
  for (int round = 0; round < 3; ++round) {
    std::vector<std::unique_ptr<Held>> crowd;
    for (int i = 0; i < 600; ++i) {
      const std::string from =
          "127.0." + std::to_string(10 + round) + "." + std::to_string(2 + i / 40);
      crowd.push_back(std::make_unique<Held>(port, head, from.c_str()));
    }
    int open = 0;
    int busy = 0;
    for (const auto& held : crowd) {
      EXPECT_TRUE(held->ReadUntil("\r\n\r\n")) << "round " << round;
      open += held->received.starts_with("HTTP/1.1 200");
      busy += held->received.starts_with("HTTP/1.1 503") &&
              held->received.find("Retry-After: 5\r\n") != std::string::npos;
    }
    EXPECT_EQ(open, 512) << "round " << round;
    EXPECT_EQ(busy, 88) << "round " << round;
    const std::string next = std::to_string(round + 2);
    Store(u"第%1天"_s.arg(round + 2));
    int heard = 0;
    for (const auto& held : crowd) {
      if (!held->received.starts_with("HTTP/1.1 200")) continue;
      heard += held->ReadUntil("\nid: " + next + "\n");
      EXPECT_FALSE(held->closed) << "round " << round;
    }
    EXPECT_EQ(heard, open) << "round " << round;
    crowd.clear();
    bool left = false;
    for (int tries = 0; tries < 100 && !left; ++tries) {
      left = Get("/metrics").Body().find("skyloom_event_streams 0\n") != std::string::npos;
      if (!left) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(left) << "round " << round;
  }
}

// With nothing in memory a new stream's backlog is read first; when the readers can queue no
// more, the stream is refused before any head, and every one queued is kept once it is read.
TEST_P(HttpApiTest, AStreamWhoseBacklogCannotBeReadIsRefusedBeforeItsHead) {
  if (GetParam() != test::Backend::Postgres) GTEST_SKIP() << "needs a server to freeze";
  RaiseOpenFileLimit();
  if (FreeDescriptors() < 1000) GTEST_SKIP() << "the open-file limit is too low for this test";
  // No tables yet, so the API holds no rows; a frozen server keeps every read waiting.
  struct Frozen {
    Frozen() { test::SharedPgServer().Freeze(); }
    ~Frozen() { test::SharedPgServer().Thaw(); }
  };
  auto frozen = std::make_unique<Frozen>();
  std::vector<std::unique_ptr<Held>> crowd;
  for (int i = 0; i < 300; ++i) {
    const std::string from = "127.0.30." + std::to_string(2 + i / 40);
    crowd.push_back(std::make_unique<Held>(port, Head("GET /events"), from.c_str()));
  }
  // The last is refused: by then the queue is full.
  ASSERT_TRUE(crowd.back()->ReadUntil("\r\n\r\n"));
  frozen.reset();
  MakeTables();
  Store(u"第1天"_s);
  int busy = 0;
  for (const auto& held : crowd) {
    ASSERT_TRUE(held->ReadUntil("\r\n\r\n", 20'000));
    if (held->received.starts_with("HTTP/1.1 503")) {
      EXPECT_NE(held->received.find("Retry-After: 1\r\n"), std::string::npos) << held->received;
      ++busy;
      continue;
    }
    EXPECT_TRUE(held->received.starts_with("HTTP/1.1 200")) << held->received;
    EXPECT_TRUE(held->ReadUntil("\nid: 1\n", 20'000)) << held->received;
  }
  EXPECT_GT(busy, 0);
}

// What the API answers from memory is what it would answer reading the store afresh, whoever
// changed it and however: this collector (which tells the API), another collector (which
// notifies on a server), another program (which tells nobody), new rows, a text edited in place
// and old rows removed.
TEST_P(HttpApiTest, AnswersFromMemoryAreTheAnswersReadAfresh) {
  MakeTables();
  for (int day = 1; day <= 3; ++day) AddForecast(day);
  AddAttempt(10, true);
  Seen();
  const std::vector<std::string> targets = {"/forecast",
                                            "/forecasts",
                                            "/forecasts?limit=100",
                                            "/attempts",
                                            "/attempts?limit=1000",
                                            "/health",
                                            "/page/status.json",
                                            "/feed.atom"};
  // Each target's status, tag and body.
  const auto answers = [&](int at) {
    std::vector<std::string> got;
    for (const std::string& target : targets) {
      const test::RawExchange answer =
          test::Exchange(at, Head("GET " + target, "Connection: close\r\n"));
      // Where the connections are is the process's, not the record's: both APIs share it.
      static const std::regex servers(R"("servers":\[[^\]]*\],)");
      got.push_back(std::to_string(answer.Status()) + ' ' + answer.Header("ETag") + '\n' +
                    std::regex_replace(answer.Body(), servers, ""));
    }
    // The first page as the readers read it, past every id.
    const test::RawExchange read = test::Exchange(
        at, Head("GET /forecasts?before=9223372036854775807", "Connection: close\r\n"));
    got.push_back(std::to_string(read.Status()) + ' ' + read.Header("ETag") + '\n' + read.Body());
    return got;
  };
  const auto afresh = [&] {
    HttpApi fresh(db->Location(), PgLimits{}, metrics, clock);
    const auto started = fresh.Start(u"127.0.0.1:0"_s);
    EXPECT_TRUE(started.has_value());
    EXPECT_TRUE(fresh.CatchUp());
    return answers(started->section(u':', 1).toInt());
  };
  const auto sameSoon = [&](const std::string& change) {
    const std::vector<std::string> expected = afresh();
    // The first page read by the readers is the page the memory answers.
    EXPECT_EQ(expected.back(), expected[1]) << change;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> got = answers(port);
    while (got != expected && std::chrono::steady_clock::now() - started < 5s) {
      std::this_thread::sleep_for(20ms);
      got = answers(port);
    }
    for (std::size_t i = 0; i < targets.size(); ++i) {
      // Where they part, rather than two pages of JSON.
      const auto [mine, theirs] =
          std::mismatch(got[i].begin(), got[i].end(), expected[i].begin(), expected[i].end());
      const auto from = std::max<std::ptrdiff_t>(0, mine - got[i].begin() - 60);
      EXPECT_EQ(got[i], expected[i])
          << change << ": " << targets[i] << " from memory\n  " << got[i].substr(from, 200)
          << "\nread afresh\n  " << expected[i].substr(from, 200);
    }
    std::cout << change << ": the same after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)
                     .count()
              << " ms\n";
  };
  sameSoon("at the start");
  // A bulletin heading, so that the answers carry fields too.
  Store(
      u"市气象台今天17点钟发布：今天夜里到明天：多云。东北风4到5级，"
      u"沿海阵风6到7级。明天最低温度：8℃，最高温度：13℃。相对湿度：70%到95%。"_s);
  api.RecordChanged();
  sameSoon("this collector");
  Store(u"第5天"_s);
  ASSERT_FALSE(OpenStore(db->Location())->Record(FetchResult{7, u"refused"_s, {}}).error);
  sameSoon("another collector");
  AddForecast(6);
  AddAttempt(50, false);
  sameSoon("another program's rows");
  db->Exec(u"UPDATE tq SET tqyb = '改过' WHERE id = (SELECT max(id) FROM tq)"_s);
  sameSoon("another program's edit");
  db->Exec(u"DELETE FROM tq WHERE id < 3"_s);
  sameSoon("another program's removal");
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpApiTest,
                         testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
                         [](const auto& info) { return test::BackendName(info.param); });

// Another process writes the file, in either journal mode: the kernel tells the API, which
// looks at nothing on a timer. With inotify turned off it looks twice a second instead, and
// says so.
class FileWatchTest : public testing::TestWithParam<FileWatching> {
 protected:
  FileWatchTest() { test::Application(); }
};

TEST_P(FileWatchTest, AWriteByAnotherProcessReachesAStream) {
  if (!QFileInfo::exists(u"/usr/bin/sqlite3"_s)) GTEST_SKIP() << "no /usr/bin/sqlite3";
  const auto db = test::MakeTestDatabase(test::Backend::Sqlite);
  db->MakeTablesElsewhere();
  db->Exec(u"INSERT INTO tq(logtime, tqyb) VALUES ('2026-03-01 07:00:00', '晴')"_s);
  const Metrics metrics;
  const test::FakeClock clock{QDateTime(QDate(2026, 3, 1), QTime(7, 30))};
  testing::internal::CaptureStderr();
  HttpApi api(db->Location(), PgLimits{}, metrics, clock, {}, {}, GetParam());
  const auto started = api.Start(u"127.0.0.1:0"_s);
  ASSERT_TRUE(started.has_value()) << started.error().toStdString();
  const int port = started->section(u':', 1).toInt();
  ASSERT_TRUE(api.CatchUp());
  Held stream(port, Head("GET /events"));
  ASSERT_TRUE(stream.ReadUntil("\nid: 1\n")) << stream.received;
  int id = 1;
  for (const char* mode : {"DELETE", "WAL", "WAL"}) {
    QProcess writer;
    writer.start(u"/usr/bin/sqlite3"_s,
                 // Waiting, as any writer should, while a reader holds the file a moment.
                 {u"-cmd"_s, u".timeout 5000"_s, db->Location(),
                  u"PRAGMA journal_mode=%1; INSERT INTO tq(logtime, tqyb) "
                  "VALUES ('2026-03-01 08:00:00', '雨%2')"_s.arg(QString::fromLatin1(mode))
                      .arg(++id)});
    ASSERT_TRUE(writer.waitForFinished(10'000));
    ASSERT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();
    const auto written = std::chrono::steady_clock::now();
    EXPECT_TRUE(stream.ReadUntil("\nid: " + std::to_string(id) + "\n")) << mode;
    std::cout << mode << ": the stream had it "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - written)
                     .count()
              << " ms after the writer ended\n";
  }
  const std::string text =
      test::Exchange(port, Head("GET /metrics", "Connection: close\r\n")).Body();
  api.Stop();
  const std::string said = testing::internal::GetCapturedStderr();
  const bool timed =
      text.find("skyloom_store_looks_total{cause=\"timer\"} 0\n") == std::string::npos;
  const bool told = said.find("twice a second") != std::string::npos;
  if (GetParam() == FileWatching::Inotify) {
    EXPECT_FALSE(timed) << text;
    EXPECT_EQ(text.find("skyloom_store_looks_total{cause=\"file\"} 0\n"), std::string::npos);
    EXPECT_FALSE(told) << said;
  } else {
    EXPECT_TRUE(timed) << text;
    EXPECT_TRUE(told) << said;
    EXPECT_NE(said.find(db->Location().toStdString()), std::string::npos) << said;
  }
}

INSTANTIATE_TEST_SUITE_P(Watching, FileWatchTest,
                         testing::Values(FileWatching::Inotify, FileWatching::Looks),
                         [](const auto& info) {
                           return info.param == FileWatching::Inotify ? "inotify" : "looks";
                         });

}  // namespace
}  // namespace skyloom
