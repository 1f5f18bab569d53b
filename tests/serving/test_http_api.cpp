#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <thread>

#include "platform/program_info.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "support/fake_clock.h"
#include "support/loopback_socket.h"
#include "support/test_database.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

struct Answer : httplib::Response {
  QJsonDocument json;
};

// The fields `key` of a JSON array, joined by commas.
QString Column(const QJsonDocument& json, const QString& key) {
  QStringList values;
  for (const QJsonValue& item : json.array()) values << item[key].toVariant().toString();
  return values.join(u',');
}

class HttpApiTest : public testing::TestWithParam<test::Backend> {
 protected:
  void SetUp() override {
    ASSERT_EQ(api.Start(u"127.0.0.1:0"_s, bound), std::nullopt);
    port = bound.section(u':', 1).toInt();
    client.emplace("127.0.0.1", port);
    client->set_read_timeout(10s);
  }

  Answer Request(const char* method, const std::string& target, httplib::Headers headers = {}) {
    httplib::Request request;
    request.method = method;
    request.path = target;
    request.headers = std::move(headers);
    Answer answer;
    if (const httplib::Result result = client->send(request)) {
      static_cast<httplib::Response&>(answer) = *result;
      answer.json = QJsonDocument::fromJson(QByteArray::fromStdString(result->body));
    }
    return answer;
  }
  Answer Get(const std::string& target, httplib::Headers headers = {}) {
    return Request("GET", target, std::move(headers));
  }
  void AddForecast(int day) {
    db->Exec(u"INSERT INTO tq(logtime, tqyb) VALUES ('2026-03-%1 07:00:00', '第%2天')"_s
                 .arg(day, 2, 10, QChar(u'0'))
                 .arg(day));
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
  std::optional<httplib::Client> client;
};

TEST_P(HttpApiTest, ADatabaseWithoutTablesIsAnErrorAndStaysAsItWas) {
  for (const char* target : {"/forecast", "/forecasts", "/attempts", "/health"}) {
    const Answer answer = Get(target);
    EXPECT_EQ(answer.status, 503) << target;
    EXPECT_TRUE(answer.json["error"].isString() || answer.json["reason"].isString()) << target;
  }
  if (GetParam() == test::Backend::Sqlite) {
    EXPECT_FALSE(QFileInfo::exists(db->Location()));
  } else {
    EXPECT_ANY_THROW(db->Exec(u"SELECT 1 FROM tq"_s));
  }
}

TEST_P(HttpApiTest, TheNewestForecastCarriesItsIdAsTagAndShowsNewRowsSoon) {
  db->MakeTablesElsewhere();
  Answer answer = Get("/forecast");
  EXPECT_EQ(answer.status, 404);
  EXPECT_TRUE(answer.json["error"].isString());

  AddForecast(1);
  AddForecast(2);
  // Another program's row must show once the kept answer has aged.
  for (int tries = 0; tries < 50 && answer.status != 200; ++tries) {
    std::this_thread::sleep_for(100ms);
    answer = Get("/forecast");
  }
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.json.object(),
            (QJsonObject{
                {u"id"_s, 2}, {u"logtime"_s, u"2026-03-02 07:00:00"_s}, {u"text"_s, u"第2天"_s}}));
  EXPECT_EQ(answer.get_header_value("ETag"), "\"2\"");
  EXPECT_EQ(Get("/forecast", {{"If-None-Match", "\"2\""}}).status, 304);
  EXPECT_EQ(Get("/forecast", {{"If-None-Match", "\"1\", W/\"2\""}}).status, 304);
  EXPECT_EQ(Get("/forecast", {{"If-None-Match", "\"1\""}}).status, 200);
}

TEST_P(HttpApiTest, ForecastsAndAttemptsComeNewestFirstPageByPage) {
  db->MakeTablesElsewhere();
  for (int day = 1; day <= 5; ++day) AddForecast(day);
  for (int minute = 10; minute <= 12; ++minute) AddAttempt(minute, minute != 11);
  const struct {
    std::string target;
    QString key;
    QString values;
  } cases[] = {
      {"/forecasts", u"id"_s, u"5,4,3,2,1"_s},
      {"/forecasts?limit=2", u"id"_s, u"5,4"_s},
      {"/forecasts?limit=2&before=4", u"id"_s, u"3,2"_s},
      {"/forecasts?before=1", u"id"_s, u""_s},
      {"/forecasts?limit=1000&before=3", u"text"_s, u"第2天,第1天"_s},
      {"/attempts", u"errnum"_s, u"0,7,0"_s},
      {"/attempts?limit=2", u"logtime"_s, u"2026-03-01 07:12:00,2026-03-01 07:11:00"_s},
      {"/attempts", u"status"_s, u"正常获取,获取错误,正常获取"_s},
      {"/attempts?limit=1", u"description"_s, u"未写入"_s},
  };
  for (const auto& c : cases) {
    const Answer answer = Get(c.target);
    EXPECT_EQ(answer.status, 200) << c.target;
    EXPECT_EQ(Column(answer.json, c.key), c.values) << c.target;
  }
}

TEST_P(HttpApiTest, HealthFollowsTheNewestAttempt) {
  db->MakeTablesElsewhere();
  const struct {
    int addMinute;  // 0: nothing added
    bool fetched;
    int status;
    QJsonValue lastAttempt;
    QJsonValue lastSuccess;
    int failures;
  } steps[] = {
      {0, false, 503, QJsonValue(), QJsonValue(), 0},
      {10, true, 200, u"2026-03-01 07:10:00"_s, u"2026-03-01 07:10:00"_s, 0},
      {15, false, 503, u"2026-03-01 07:15:00"_s, u"2026-03-01 07:10:00"_s, 1},
      {20, false, 503, u"2026-03-01 07:20:00"_s, u"2026-03-01 07:10:00"_s, 2},
  };
  for (const auto& step : steps) {
    if (step.addMinute != 0) AddAttempt(step.addMinute, step.fetched);
    const Answer answer = Get("/health");
    EXPECT_EQ(answer.status, step.status) << step.addMinute;
    EXPECT_EQ(answer.json["healthy"].toBool(), step.status == 200);
    EXPECT_EQ(answer.json["last_attempt"], step.lastAttempt);
    EXPECT_EQ(answer.json["last_success"], step.lastSuccess);
    EXPECT_EQ(answer.json["consecutive_failures"], step.failures);
    EXPECT_EQ(answer.json["reason"].isString(), step.status != 200) << answer.body;
  }
  // After a window's last fetch the next is due when the next window opens, 09:15; ten minutes
  // later a collector that logged nothing has stalled.
  AddAttempt(50, true);
  for (const auto& [at, reason] :
       {std::pair{QTime(9, 25), QJsonValue()},
        {QTime(9, 25, 1),
         u"no attempt logged since the timed fetch due at 2026-03-01 09:15:00"_s}}) {
    clock.Set(at);
    EXPECT_EQ(Get("/health").json["reason"], reason);
  }
}

TEST_P(HttpApiTest, MetricsCountAttemptsByResultAndTellTheLogsFailures) {
  db->MakeTablesElsewhere();
  AddAttempt(10, true);
  AddAttempt(20, false);
  const qint64 lastSuccess = QDateTime(QDate(2026, 3, 1), QTime(7, 10)).toSecsSinceEpoch();
  StoreResult stored{
      StoreOutcome::Stored, AttemptRow{{}, u"正常获取"_s, 0, u"成功写入"_s, {}}, 3, {}};
  StoreResult failed{
      StoreOutcome::NotCompared, AttemptRow{{}, u"获取错误"_s, 7, u"x"_s, {}}, 0, {}};
  metrics.RecordAttempt(stored, 200ms);
  metrics.RecordAttempt(failed, 40s);

  const Answer answer = Get("/metrics");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.get_header_value("Content-Type"), "text/plain; version=0.0.4");
  for (const std::string& line : std::vector<std::string>{
           "skyloom_attempts_total{result=\"stored\"} 1",
           "skyloom_attempts_total{result=\"error\"} 1",
           "skyloom_attempts_total{result=\"empty\"} 0", "skyloom_forecasts_stored_total 1",
           "skyloom_last_success_timestamp_seconds " + std::to_string(lastSuccess),
           "skyloom_consecutive_failures 1", "skyloom_fetch_duration_seconds_bucket{le=\"0.25\"} 1",
           "skyloom_fetch_duration_seconds_bucket{le=\"30\"} 1",
           "skyloom_fetch_duration_seconds_bucket{le=\"60\"} 2",
           "skyloom_fetch_duration_seconds_count 2", "skyloom_fetch_duration_seconds_sum 40.200",
           "skyloom_build_info{version=\"" + VersionText().toStdString() + "\"} 1"}) {
    EXPECT_NE(answer.body.find(line + '\n'), std::string::npos) << line;
  }
}

TEST_P(HttpApiTest, EveryAnswerIsJsonForAnyOriginAndBadRequestsDoNotStopServing) {
  db->MakeTablesElsewhere();
  AddForecast(1);
  AddAttempt(10, true);
  const std::string longLine(9 * 1024, 'a');
  struct Case {
    const char* method;
    std::string target;
    httplib::Headers headers;
    int status;
  };
  std::vector<Case> cases = {
      {"GET", "/forecast", {}, 200},
      {"GET", "/forecasts?limit=1000", {}, 200},
      {"GET", "/attempts?limit=1", {}, 200},
      {"GET", "/health", {}, 200},
      {"GET", "/nothing", {}, 404},
      {"GET", "/forecast/", {}, 404},
      {"POST", "/forecast", {}, 405},
      {"DELETE", "/forecasts", {}, 405},
      {"GET", "/forecast?" + longLine, {}, 414},
      {"GET", "/forecast", {{"X-Big", longLine}}, 400},
      {"GET", "/forecast", {{"X-A", longLine.substr(5000)}, {"X-B", longLine.substr(5000)}}, 431},
  };
  for (const char* query :
       {"limit=0", "limit=1001", "limit=-1", "limit=%2B1", "limit=%201", "limit=1x",
        "limit=", "before=0", "before=9223372036854775808", "limit=1&limit=2", "lmit=2"}) {
    cases.push_back({"GET", std::string("/forecasts?") + query, {}, 400});
  }
  for (const Case& c : cases) {
    const Answer answer = Request(c.method, c.target, c.headers);
    const std::string name = std::string(c.method) + ' ' + c.target.substr(0, 40);
    EXPECT_EQ(answer.status, c.status) << name;
    EXPECT_EQ(answer.get_header_value("Content-Type"), "application/json") << name;
    EXPECT_EQ(answer.get_header_value("Access-Control-Allow-Origin"), "*") << name;
    EXPECT_TRUE(c.status < 400 ? !answer.json.isNull() : answer.json["error"].isString()) << name;
  }
  EXPECT_EQ(Get("/health").status, 200);
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
  };
  for (const auto& c : cases) {
    HttpApi other(db->Location(), PgLimits{}, metrics, clock);
    QString got;
    const std::optional<QString> error = other.Start(c.address, got);
    ASSERT_TRUE(error.has_value()) << c.address.toStdString();
    EXPECT_TRUE(error->contains(c.error)) << error->toStdString();
  }
  ::close(busy);
}

// cpp-httplib's read timeout restarts with every byte; a whole request head has a deadline.
TEST_P(HttpApiTest, AClientTricklingItsRequestIsCutOffWhileOthersAreServed) {
  if (GetParam() != test::Backend::Sqlite) GTEST_SKIP() << "the same on every backend";
  db->MakeTablesElsewhere();
  AddAttempt(10, true);
  const int slow = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(::connect(slow, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string head =
      "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(40, 'a') + "\r\n\r\n";
  size_t sent = 0;
  // One byte every 250 ms would take 20 s; the server gives up long before.
  while (sent < head.size() && ::send(slow, &head[sent], 1, MSG_NOSIGNAL) == 1) {
    ++sent;
    EXPECT_EQ(Get("/health").status, 200);
    std::this_thread::sleep_for(250ms);
  }
  EXPECT_LT(sent, head.size());
  ::close(slow);
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpApiTest,
                         testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
                         [](const auto& info) { return test::BackendName(info.param); });

}  // namespace
}  // namespace skyloom
