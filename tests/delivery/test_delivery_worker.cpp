#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QUrlQuery>
#include <mutex>
#include <thread>

#include "delivery/channel.h"
#include "delivery/delivery_worker.h"
#include "platform/clock.h"
#include "store/open_store.h"
#include "support/application.h"
#include "support/test_database.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

const QByteArray kHookKey = "HOOK-KEY-BYTES";

QByteArray Hmac(const QByteArray& key, const QByteArray& message) {
  return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

struct Request {
  std::string path;
  httplib::Params query;
  std::string key;  // Idempotency-Key
  std::string signature;
  httplib::Headers headers;
  QJsonObject body;
  QByteArray raw;
  QDateTime at;
};

// One local server for every channel; each path answers as its script says, try by try.
class Receivers {
 public:
  using Script = std::function<std::pair<int, std::string>(int attempt)>;

  explicit Receivers(std::map<std::string, Script> scripts) : scripts_(std::move(scripts)) {
    server_.Http().Post(R"(/(\w+))", [this](const httplib::Request& in, httplib::Response& out) {
      const Request got{in.matches[1],
                        in.params,
                        in.get_header_value("Idempotency-Key"),
                        in.get_header_value("X-Skyloom-Signature"),
                        in.headers,
                        QJsonDocument::fromJson(QByteArray::fromStdString(in.body)).object(),
                        QByteArray::fromStdString(in.body),
                        QDateTime::currentDateTime()};
      int attempt = 0;
      {
        const std::lock_guard lock(mutex_);
        attempt = static_cast<int>(Of(got.path).size());
        requests_.push_back(got);
      }
      const auto [status, body] = scripts_.at(got.path)(attempt);
      out.status = status;
      out.set_content(body, "application/json");
    });
    server_.Start();
  }
  QString Line(const QString& type, const QString& path, const QString& options = {}) const {
    return u"%1 %2 %3"_s.arg(type, server_.Url(u"/"_s + path), options);
  }
  std::vector<Request> Of(const std::string& path) const {
    std::vector<Request> found;
    for (const Request& request : requests_) {
      if (request.path == path) found.push_back(request);
    }
    return found;
  }
  size_t Count(const std::string& path) {
    const std::lock_guard lock(mutex_);
    return Of(path).size();
  }
  std::vector<Request> Requests(const std::string& path) {
    const std::lock_guard lock(mutex_);
    return Of(path);
  }

 private:
  std::map<std::string, Script> scripts_;
  std::mutex mutex_;
  std::vector<Request> requests_;
  test::TestServer server_;
};

Receivers::Script Answer(int status, std::string body, int failFirst = 0) {
  return [=](int attempt) {
    return attempt < failFirst ? std::pair<int, std::string>{503, "{}"}
                               : std::pair<int, std::string>{status, body};
  };
}

class OutboxTest : public testing::TestWithParam<test::Backend> {
 protected:
  void SetUp() override {
    test::Application();
    ASSERT_TRUE(store->CreateTables().has_value());
  }
  DeliveryRow Row(const QString& channel) {
    const auto rows = store->NewestDeliveries(100);
    for (const DeliveryRow& row : rows.value()) {
      if (row.channel == channel) return row;
    }
    return {};
  }

  std::unique_ptr<test::TestDatabase> db = test::MakeTestDatabase(GetParam());
  std::unique_ptr<ForecastStore> store = OpenStore(db->Location());
};

// A rolled-back forecast takes its rows with it; a stored one has one per channel.
TEST_P(OutboxTest, AForecastIsStoredWithItsDeliveriesOrNotAtAll) {
  EventRoutes routes;
  routes[EventKind::NewForecast] = {u"a"_s, u"b"_s};
  store->SetEventRoutes(routes);
  const StoreResult stored = store->Record(FetchResult{0, {}, u"多云"_s});
  ASSERT_FALSE(stored.error) << stored.error->message.toStdString();
  const auto rows = store->NewestDeliveries(10).value();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].eventId, rows[1].eventId);
  const QJsonObject message = QJsonDocument::fromJson(rows[0].message.toUtf8()).object();
  EXPECT_EQ(message.value(u"id"_s).toInteger(), stored.forecastId);
  EXPECT_EQ(message.value(u"text"_s).toString(), u"多云"_s);
  EXPECT_EQ(message.value(u"logtime"_s).toString(), db->Tq().at(0).logtime);
  EXPECT_FALSE(EventFromRow(rows[0].event, rows[0].eventId, rows[0].message).previous);
  // The next one carries the forecast it replaced, read in its own transaction.
  ASSERT_FALSE(store->Record(FetchResult{0, {}, u"阴"_s}).error);
  const DeliveryRow next = store->NewestDeliveries(1).value().at(0);
  EXPECT_EQ(EventFromRow(next.event, next.eventId, next.message).previous,
            (PreviousForecast{stored.forecastId, db->Tq().at(0).logtime, u"多云"_s}));

  if (GetParam() == test::Backend::Sqlite) {
    db->Exec(
        u"CREATE TRIGGER refuse BEFORE INSERT ON tqlog BEGIN SELECT RAISE(ABORT, 'no'); END"_s);
  } else {
    db->Exec(
        u"CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
        u"$$BEGIN RAISE EXCEPTION 'no'; END$$; CREATE TRIGGER refuse BEFORE INSERT ON tqlog "
        u"FOR EACH ROW EXECUTE FUNCTION refuse()"_s);
  }
  EXPECT_TRUE(store->Record(FetchResult{0, {}, u"晴"_s}).error);
  EXPECT_EQ(store->NewestDeliveries(10).value().size(), 4u);
  EXPECT_EQ(db->Tq().size(), 2u);
}

// Every channel's request as its vendor wants it; the answers decide: sent, retried with the
// same id, or given up.
TEST_P(OutboxTest, TheWorkerSendsEachChannelsRequestAndJudgesItsAnswer) {
  Receivers receivers({
      {"hook", Answer(200, "")},
      {"wecom", Answer(200, R"({"errcode":0,"errmsg":"ok"})", 1)},
      {"ding", Answer(200, R"({"errcode":0})")},
      {"feishu", Answer(200, R"({"code":0,"msg":"success"})")},
      {"refusing", Answer(404, "")},
      {"garbage", Answer(200, "<html>busy</html>")},
      {"chatty", Answer(200, std::string(70 * 1024, ' '))},
      {"busy", Answer(200, R"({"errcode":45009,"errmsg":"api freq out of limit"})")},
      {"refused", Answer(200, R"({"errcode":310000,"errmsg":"sign not match"})")},
      {"keywordless", Answer(200, R"({"code":19024,"msg":"Key Words Not Found"})")},
      {"gone",
       [](int attempt) {
         return std::pair<int, std::string>{attempt == 0 ? 410 : 200, ""};
       }},
      {"hanging",
       [](int attempt) {
         if (attempt == 0) std::this_thread::sleep_for(std::chrono::seconds(11));
         return std::pair<int, std::string>{200, ""};
       }},
  });
  ServiceSettings settings;
  settings.databaseLocation = db->Location();
  for (const QString& line :
       {receivers.Line(u"webhook"_s, u"hanging"_s),
        receivers.Line(u"webhook"_s, u"hook"_s, u"secret=whsec_"_s + kHookKey.toBase64()),
        receivers.Line(u"wecom"_s, u"wecom?key=WECOM-KEY"_s, u"events=failure events=new"_s),
        receivers.Line(u"dingtalk"_s, u"ding?access_token=T"_s,
                       u"secret=DING-SECRET at=13800000000 at_events=new keyword=KW"_s),
        receivers.Line(u"feishu"_s, u"feishu"_s, u"secret=FEISHU-SECRET at=all at_events=new"_s),
        receivers.Line(u"webhook"_s, u"refusing"_s), receivers.Line(u"wecom"_s, u"garbage"_s),
        receivers.Line(u"webhook"_s, u"chatty"_s),
        receivers.Line(u"webhook"_s, u"recoveries"_s, u"events=recovery"_s),
        receivers.Line(u"wecom"_s, u"busy"_s), receivers.Line(u"dingtalk"_s, u"refused"_s),
        receivers.Line(u"feishu"_s, u"keywordless"_s), receivers.Line(u"webhook"_s, u"gone"_s)}) {
    settings.channels.push_back(ParseChannel(line).value());
  }
  const auto name = [&](int i) { return settings.channels[i + 1].name; };
  const QString hanging = settings.channels[0].name;
  // Long enough to be cut for WeCom and DingTalk, and with the page's spaces.
  const QString text = u"今天&nbsp;多云"_s + QString(1000, u'雨');
  store->SetEventRoutes(RoutesOf(settings.channels));
  ASSERT_FALSE(store->Record(FetchResult{0, {}, text}).error);
  EXPECT_EQ(store->NewestDeliveries(20).value().size(), 12u);

  const SystemClock clock;
  DeliveryWorker worker(clock, settings);
  QStringList reports;
  QObject::connect(&worker, &DeliveryWorker::report, [&](const QString& line) { reports << line; });
  worker.Start();
  worker.SetActive(true);
  ASSERT_TRUE(test::Eventually([&] {
    for (int i : {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11}) {
      if (Row(name(i)).tries != 1) return false;
    }
    return true;
  })) << reports.join(u'\n').toStdString();
  // A receiver that hangs holds up only its own channel, and only for the request's 10 s.
  EXPECT_EQ(Row(hanging).tries, 0);
  // What a collector taking over counts: sent rows of the channel only, when they went.
  const qint64 now = QDateTime::currentSecsSinceEpoch();
  const std::vector<qint64> went = store->SentSince(name(0), now - 60, 20).value();
  ASSERT_EQ(went.size(), 1u);
  EXPECT_NEAR(went[0], now, 5);
  for (int other : {1, 4}) EXPECT_TRUE(store->SentSince(name(other), 0, 20).value().empty());
  EXPECT_TRUE(store->SentSince(name(0), went[0] + 1, 20).value().empty());

  const Request hook = receivers.Requests("hook").at(0);
  ASSERT_FALSE(hook.key.empty());
  EXPECT_EQ(QString::fromStdString(hook.key), Row(name(0)).eventId);
  EXPECT_EQ(hook.signature,
            "sha256=" + Hmac("whsec_" + kHookKey.toBase64(), hook.raw).toHex().toStdString());
  // A Standard Webhooks receiver's check: the id, the time and the body, each as sent.
  const auto verifies = [&](const std::string& id, const std::string& stamp,
                            const QByteArray& body) {
    const auto value = [&](const char* name) {
      const auto found = hook.headers.find(name);
      return found == hook.headers.end() ? std::string() : found->second;
    };
    return value("webhook-signature") ==
           "v1," + Hmac(kHookKey, QByteArray::fromStdString(id + '.' + stamp + '.') + body)
                       .toBase64()
                       .toStdString();
  };
  const std::string sent = hook.headers.find("webhook-timestamp")->second;
  EXPECT_EQ(hook.headers.find("webhook-id")->second, hook.key);
  EXPECT_NEAR(std::stoll(sent), QDateTime::currentSecsSinceEpoch(), 60);
  EXPECT_TRUE(verifies(hook.key, sent, hook.raw));
  EXPECT_FALSE(verifies(hook.key, std::to_string(std::stoll(sent) + 1), hook.raw));
  EXPECT_FALSE(verifies(hook.key, sent, QByteArray(hook.raw).replace("多云", "晴天")));
  EXPECT_EQ(hook.body.value(u"text"_s).toString(), text);
  EXPECT_EQ(hook.body.value(u"readable_text"_s).toString(), u"今天 多云"_s + QString(1000, u'雨'));
  EXPECT_TRUE(hook.body.value(u"errnum"_s).isNull());
  const Request ding = receivers.Requests("ding").at(0);
  const QByteArray stamp = QByteArray::fromStdString(ding.query.find("timestamp")->second);
  EXPECT_EQ(ding.query.find("sign")->second,
            Hmac("DING-SECRET", stamp + "\nDING-SECRET").toBase64().toStdString());
  const QString content = ding.body[u"markdown"_s][u"text"_s].toString();
  EXPECT_EQ(ding.body[u"markdown"_s][u"title"_s].toString(),
            u"【KW】新预报 "_s + db->Tq().at(0).logtime);
  EXPECT_TRUE(
      content.startsWith(u"#### 【KW】新预报 %1  \n@13800000000  \n"_s.arg(db->Tq().at(0).logtime)))
      << content.toStdString();
  EXPECT_EQ(content.count(u"KW"_s), 1);
  EXPECT_EQ(ding.body[u"at"_s][u"atMobiles"_s].toArray(), QJsonArray{u"13800000000"_s});
  EXPECT_FALSE(content.contains(QString::fromStdString(hook.key)));
  EXPECT_LE(content.toUtf8().size(), 2048);
  EXPECT_TRUE(content.contains(QRegularExpression(u"雨…  \n（略去 \\d+ 字）$"_s)))
      << content.toStdString();
  const QString markdown =
      receivers.Requests("wecom").at(0).body[u"markdown"_s][u"content"_s].toString();
  EXPECT_TRUE(markdown.endsWith(QString(1000, u'雨'))) << markdown.toStdString();
  const Request feishu = receivers.Requests("feishu").at(0);
  const QByteArray seconds = feishu.body.value(u"timestamp"_s).toString().toLatin1();
  EXPECT_EQ(feishu.body.value(u"sign"_s).toString().toLatin1(),
            Hmac(seconds + "\nFEISHU-SECRET", {}).toBase64());
  EXPECT_EQ(feishu.body[u"msg_type"_s].toString(), u"interactive"_s);
  EXPECT_EQ(feishu.body[u"card"_s][u"header"_s][u"template"_s].toString(), u"blue"_s);
  const QString card = feishu.body[u"card"_s][u"elements"_s][0][u"text"_s][u"content"_s].toString();
  EXPECT_TRUE(card.startsWith(u"<at id=all></at>\n"_s)) << card.toStdString();
  EXPECT_TRUE(card.endsWith(QString(1000, u'雨'))) << card.toStdString();

  EXPECT_EQ(Row(name(0)).state, kDeliverySent);
  EXPECT_EQ(Row(name(4)).state, kDeliveryGivenUp);
  EXPECT_EQ(Row(name(4)).lastError, u"HTTP status 404"_s);
  // A vendor's "too many messages" is worth another try; any other refusal is not.
  EXPECT_EQ(Row(name(9)).state, kDeliveryGivenUp);
  // A bot's security settings refusing is given up at once, and the error says which.
  EXPECT_TRUE(Row(name(9)).lastError.startsWith(u"signature: "_s))
      << Row(name(9)).lastError.toStdString();
  EXPECT_TRUE(Row(name(9)).lastError.endsWith(u"(errcode 310000: sign not match)"_s));
  EXPECT_TRUE(Row(name(10)).lastError.startsWith(u"keyword: "_s));
  EXPECT_TRUE(Row(name(11)).lastError.contains(u"410: the receiver is gone"_s));
  for (int refused : {9, 10, 11}) EXPECT_EQ(Row(name(refused)).state, kDeliveryGivenUp);
  EXPECT_EQ(receivers.Count("keywordless") + receivers.Count("gone"), 2u);

  // Sent again by an operator: once more, under the same event id.
  const auto again = store->Redeliver({{QString::number(Row(name(11)).id)}, false, {}},
                                      QDateTime::currentSecsSinceEpoch());
  ASSERT_TRUE(again && again->size() == 1);
  EXPECT_EQ(again->front().tries, 0);
  EXPECT_TRUE(again->front().redelivered);
  worker.Wake();
  ASSERT_TRUE(test::Eventually([&] { return Row(name(11)).state == kDeliverySent; }));
  EXPECT_EQ(receivers.Requests("gone").at(1).key, hook.key);
  const auto givenUp = store->NewestDeliveries(20, {kDeliveryGivenUp, {}}).value();
  EXPECT_EQ(givenUp.size(), 3u);  // refusing, refused, keywordless
  EXPECT_EQ(store->Redeliver({{}, true, name(10)}, 0).value().size(), 1u);
  EXPECT_EQ(Row(name(8)).lastError, u"errcode 45009: api freq out of limit"_s);
  for (int retried : {1, 5, 6, 8}) {
    const DeliveryRow row = Row(name(retried));
    EXPECT_EQ(row.state, kDeliveryPending) << row.channel.toStdString();
    EXPECT_NEAR(row.nextTry, QDateTime::currentSecsSinceEpoch() + 10, 2);
  }
  EXPECT_EQ(Row(name(1)).lastError, u"HTTP status 503"_s);
  EXPECT_TRUE(Row(name(5)).lastError.startsWith(u"an answer without errcode: <html>"_s));
  EXPECT_TRUE(Row(name(6)).lastError.contains(u"larger than 64 KiB"_s));

  ASSERT_TRUE(test::Eventually([&] { return Row(hanging).tries == 1; }));
  EXPECT_TRUE(Row(hanging).lastError.contains(u"(limit 10 s)"_s))
      << Row(hanging).lastError.toStdString();

  // Its backoff over, the same event arrives under the same id.
  ASSERT_TRUE(test::Eventually([&] { return Row(name(1)).state == kDeliverySent; }))
      << reports.join(u'\n').toStdString();
  for (const Request& again : receivers.Requests("wecom")) EXPECT_EQ(again.key, hook.key);
  const QString logged = reports.join(u'\n');
  for (const char* secret : {"SECRET", "KEY", "access_token"}) {
    EXPECT_FALSE(logged.contains(QLatin1String(secret))) << logged.toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, OutboxTest,
                         testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
                         [](const auto& info) { return test::BackendName(info.param); });

}  // namespace
}  // namespace skyloom
