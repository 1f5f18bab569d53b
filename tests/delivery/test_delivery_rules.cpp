#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <functional>
#include <numeric>
#include <vector>

#include "delivery/channel.h"
#include "delivery/chat_message.h"
#include "delivery/delivery_rules.h"
#include "forecast/forecast_fields.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

struct RateCase {
  const char* type;
  std::vector<Ms> sent;  // when the latest messages went out, oldest first
  Ms now;
  Ms allowed;
};

// Made-up times, not a clock: the 21st WeCom or DingTalk message in a minute waits, as do the
// 6th Feishu message in a second and the 101st in a minute; a webhook never waits.
TEST(DeliveryRules, EachVendorsRateWindowsHoldBackTheMessageBeyondThem) {
  const auto every = [](int count, Ms step) {
    std::vector<Ms> times;
    for (int i = 0; i < count; ++i) times.push_back(step * i);
    return times;
  };
  const RateCase cases[] = {
      {"wecom", every(19, 1s), 19s, 19s},
      {"wecom", every(20, 1s), 20s, 60s},
      {"dingtalk", every(20, 1s), 20s, 60s},
      {"dingtalk", every(20, 1s), 61s, 61s},
      {"feishu", every(4, 100ms), Ms(400), Ms(400)},
      {"feishu", every(5, 100ms), Ms(500), Ms(1000)},
      {"feishu", every(100, 500ms), Ms(50'000), Ms(60'000)},
      {"webhook", every(500, 1ms), Ms(500), Ms(500)},
  };
  for (const RateCase& rate : cases) {
    const auto channel = ParseChannel(u"%1 http://h/x"_s.arg(QLatin1String(rate.type))).value();
    const std::vector<RateLimit> limits = KindOf(channel).Limits();
    EXPECT_EQ(NextAllowed<Ms>(rate.sent, limits, rate.now), rate.allowed)
        << rate.type << " after " << rate.sent.size();
  }
  // Taking over at second 100, a collector counts the 20 WeCom messages the group sent from
  // second 50, each from the end of its second.
  std::vector<qint64> stored(20);
  std::iota(stored.begin(), stored.end(), qint64{50});
  const auto wecom = KindOf(ParseChannel(u"wecom http://h/x"_s).value()).Limits();
  EXPECT_EQ(NextAllowed<Ms>(SentWindow<Ms>(stored, 100, 100s), wecom, 100s), 111s);
}

struct AnswerCase {
  const char* type;
  int status;
  const char* body;
  Verdict::Kind kind;
};

// 408, 429 and 5xx are tried again, any other 4xx given up; a vendor's own codes say whether
// the message is worth another try.
TEST(DeliveryRules, AnswersAreJudgedByStatusThenByEachVendorsCodes) {
  using enum Verdict::Kind;
  const AnswerCase cases[] = {
      {"webhook", 200, "", Delivered},
      {"webhook", 408, "", Retry},
      {"webhook", 429, "", Retry},
      {"webhook", 503, "", Retry},
      {"webhook", 404, "", GiveUp},
      {"webhook", 410, "", GiveUp},
      {"wecom", 200, R"({"errcode":0})", Delivered},
      {"wecom", 200, R"({"errcode":45009})", Retry},
      {"wecom", 200, R"({"errcode":-1})", Retry},
      {"wecom", 200, R"({"errcode":93000})", GiveUp},
      {"wecom", 200, R"({"errcode":130101})", GiveUp},
      {"dingtalk", 200, R"({"errcode":130101})", Retry},
      {"dingtalk", 200, R"({"errcode":310000})", GiveUp},
      {"dingtalk", 200, "<html>", Retry},
      {"feishu", 200, R"({"code":11232})", Retry},
      {"feishu", 200, R"({"code":19021})", GiveUp},
      {"feishu", 200, R"({"errcode":0})", Retry},
  };
  for (const AnswerCase& answer : cases) {
    const auto channel = ParseChannel(u"%1 http://h/x"_s.arg(QLatin1String(answer.type))).value();
    const ClientAnswer post{0, {}, answer.status, answer.body, {}};
    EXPECT_EQ(JudgeAnswer(channel, post).kind, answer.kind)
        << answer.type << " " << answer.status << " " << answer.body;
  }
}

// A day of a receiver that never answers well, walked through on made-up times: backoff
// doubles to ten minutes, a Retry-After is honoured within an hour, and the row is given up
// on the first try after the give-up time, never before.
TEST(DeliveryRules, ADayOfFailedTriesBacksOffThenGivesUp) {
  const qint64 created = 1'000'000;
  DeliveryRow row{.created = created, .nextTry = created, .state = kDeliveryPending};
  const Verdict failed{Verdict::Kind::Retry, u"HTTP status 503"_s, {}};
  std::vector<qint64> waits;
  qint64 now = created;
  TryOutcome outcome;
  do {
    outcome = AfterTry(row, failed, now, 24h);
    row = outcome.row;
    if (outcome.kind == TryOutcome::Kind::Retried) waits.push_back(outcome.wait.count());
    now = row.nextTry;
  } while (outcome.kind == TryOutcome::Kind::Retried);
  EXPECT_EQ(std::vector<qint64>(waits.begin(), waits.begin() + 8),
            (std::vector<qint64>{10, 20, 40, 80, 160, 320, 600, 600}));
  EXPECT_EQ(outcome.kind, TryOutcome::Kind::GivenUp);
  EXPECT_TRUE(outcome.outOfTime);
  EXPECT_EQ(row.state, kDeliveryGivenUp);
  EXPECT_EQ(row.lastError, u"HTTP status 503"_s);
  EXPECT_GE(now - created, 24 * 3600);
  EXPECT_LT(now - created - 600, 24 * 3600);

  const DeliveryRow fresh{.created = created, .state = kDeliveryPending};
  for (const auto& [asked, waited] : {std::pair{0s, 1s}, {120s, 120s}, {86400s, 3600s}}) {
    const Verdict busy{Verdict::Kind::Retry, u"HTTP status 429"_s, asked};
    EXPECT_EQ(AfterTry(fresh, busy, created, 24h).wait, waited);
  }
  const Verdict refused{Verdict::Kind::GiveUp, u"HTTP status 404"_s, {}};
  const TryOutcome once = AfterTry(fresh, refused, created, 24h);
  EXPECT_EQ(once.kind, TryOutcome::Kind::GivenUp);
  EXPECT_FALSE(once.outOfTime);
  EXPECT_EQ(once.row.tries, 1);
  // A sent row keeps when it went.
  EXPECT_EQ(AfterTry(fresh, {Verdict::Kind::Delivered, {}, {}}, created + 5, 24h).row.nextTry,
            created + 5);
}

#define H11 "市气象台今天11点钟发布：&nbsp;&nbsp;&nbsp;"
#define H17 "市气象台今天17点钟发布：&nbsp;&nbsp;&nbsp;"
#define NIGHT                                                                                                                                    \
  "今天夜里到明天：多云到阴，有时有小雨。东北风4到5级，沿江沿海地区阵风6到7级。明天最低温度：8℃，" \
  "最高温度：13℃。相对湿度：70%到95%。"

Event Forecast(const QString& text, const QString& previous) {
  Event event{.kind = EventKind::NewForecast,
              .id = u"3f2a9c1e-0000-4000-8000-00000000e1d0"_s,
              .logtime = u"2026-12-07 17:05:00"_s,
              .forecastId = 2,
              .text = text};
  event.fields = ParseForecastFields(text);
  if (!previous.isEmpty()) event.previous = PreviousForecast{1, u"2026-12-07 11:05:00"_s, previous};
  return event;
}

struct ShapeCase {
  const char* line;
  Event event;
  std::function<QString(const QJsonObject&)> text;  // the words the chat shows
  std::vector<const char*> holds;
  std::vector<const char*> lacks;
};

// Each vendor's own format for the sample page's forecast after the morning's; mentions where
// the vendor reads them; the keyword added once; never the event's id in the chat.
TEST(ChatMessages, EachChannelSendsItsVendorsShape) {
  const Event sample =
      Forecast(u"" H17 NIGHT H11 "今天白天：阴转多云。偏北风3到4级。最高温度：14℃。"_s,
               u"" H11 "今天白天：阴转多云。偏北风3到4级。最高温度：14℃。"_s);
  const Event corrected =
      Forecast(u"" H17 NIGHT ""_s, u"" H17 "今天夜里到明天：阴。最高温度：14℃。"_s);
  const Event failure{.kind = EventKind::Failure,
                      .id = u"e1"_s,
                      .logtime = u"2026-12-07 14:30:00"_s,
                      .status = u"获取错误"_s,
                      .number = 28,
                      .description = u"timed out"_s,
                      .failures = 1};
  Event recovery = failure;
  recovery.kind = EventKind::Recovery;
  const auto at = [](const char* a, const char* b) {
    return [=](const QJsonObject& o) { return o[QLatin1String(a)][QLatin1String(b)].toString(); };
  };
  const auto card = [](const QJsonObject& o) {
    return QJsonDocument(o[u"card"_s].toObject()).toJson(QJsonDocument::Compact);
  };
  const ShapeCase cases[] = {
      {"wecom",
       sample,
       at("markdown", "content"),
       {"**新预报** 市气象台 2026-12-07 17时发布\n<font "
        "color=\"comment\">时段｜天气｜风｜最低｜最高｜湿度",
        "\n**今天夜里到明天**"
        "｜多云到阴，有时有小雨｜东北风4–5级，沿江沿海地区阵风6–7级｜8℃｜13℃｜70–95%\n",
        "\n· 最高温度 14℃ → 13℃\n", "\n> 市气象台今天11点钟发布：   今天白天："},
       {"3f2a9c1e", "&nbsp;"}},
      {"wecom at=13800000000 at_events=new",
       sample,
       [](const QJsonObject& o) {
         return o[u"msgtype"_s].toString() + o[u"text"_s][u"content"_s].toString() +
                o[u"text"_s][u"mentioned_mobile_list"_s][0].toString();
       },
       {"text新预报 市气象台 2026-12-07 17时发布\n时段｜天气", "13800000000"},
       {"**"}},
      {"wecom format=text",
       sample,
       at("text", "content"),
       {"新预报 2026-12-07 17:05:00（3f2a9c1e-"},
       {"｜"}},
      {"dingtalk at=13800000000,all at_events=new keyword=KW",
       sample,
       [](const QJsonObject& o) {
         return o[u"markdown"_s][u"title"_s].toString() + u"//"_s +
                o[u"markdown"_s][u"text"_s].toString() + u"//"_s +
                QJsonDocument(o[u"at"_s].toObject()).toJson(QJsonDocument::Compact);
       },
       {"【KW】新预报 市气象台 2026-12-07 17时发布//#### 【KW】新预报", "  \n@13800000000  \n",
        R"({"atMobiles":["13800000000"],"isAtAll":true})"},
       {"KW】新预报 市气象台 2026-12-07 17时发布//#### 【KW】新预报 市气象台 2026-12-07 17时发布  "
        "\n"
        "@13800000000  \n**KW"}},
      {"dingtalk keyword=天气", sample, at("markdown", "text"), {"#### 新预报"}, {"【天气】"}},
      {"feishu at=all at_events=new",
       sample,
       card,
       {R"("template":"blue","title":{"content":"新预报 市气象台 2026-12-07 17时发布")",
        R"(<at id=all></at>\n<font color='grey'>时段)"},
       {"3f2a9c1e"}},
      {"feishu",
       failure,
       card,
       {R"("template":"red","title":{"content":"采集失败 2026-12-07 14:30:00")",
        R"(获取错误 28：timed out\n连续失败 1 次)"},
       {"<at"}},
      {"feishu", recovery, card, {R"("template":"green")"}, {}},
      {"wecom",
       failure,
       at("markdown", "content"),
       {"**<font color=\"warning\">采集失败</font>** 2026-12-07 14:30:00"},
       {}},
      // A correction leads with what it corrects.
      {"wecom",
       corrected,
       at("markdown", "content"),
       {"**更正** 市气象台 2026-12-07 17时发布\n**更正 2026-12-07 11:05:00 的预报：**\n· 天气 阴 → "
        "多云到阴，有时有小雨\n"},
       {}},
  };
  for (const ShapeCase& c : cases) {
    const QString line = u"%1 http://h/x"_s.arg(QString::fromUtf8(c.line).section(u' ', 0, 0)) +
                         u' ' + QString::fromUtf8(c.line).section(u' ', 1);
    const NotifyChannel channel = ParseChannel(line).value();
    const ChannelRequest request = BuildRequest(channel, c.event, QDateTime::currentDateTime());
    const QString shown = c.text(QJsonDocument::fromJson(request.body).object());
    for (const char* part : c.holds) {
      EXPECT_TRUE(shown.contains(QString::fromUtf8(part))) << c.line << "\n" << shown.toStdString();
    }
    for (const char* part : c.lacks) {
      EXPECT_FALSE(shown.contains(QString::fromUtf8(part))) << c.line << "\n"
                                                            << shown.toStdString();
    }
  }
}

// Over a limit a message loses whole lines from its end: every table row shown is whole,
// no character is broken, and the last lines say "…" and how much was left out.
TEST(ChatMessages, ALongMessageIsCutAtALineWithinItsLimit) {
  QString text = u"" H17 ""_s;
  const QString names[] = {u"今天白天"_s, u"今天夜里"_s, u"明天白天"_s, u"明天夜里"_s};
  for (int i = 0; i < 80; ++i) {
    text +=
        names[i % 4] +
        u"：晴转多云到阴有时有小雨。东北风4到5级，沿江沿海地区阵风6到7级。最低温度：8℃，最高温度：1%1℃。"_s
            .arg(i % 10);
  }
  const ChatMessage message = ComposeMessage(Forecast(text, {}));
  for (const Markup markup : {Markup::Plain, Markup::WeCom, Markup::DingTalk, Markup::Feishu}) {
    const QString whole = RenderMessage(message, {markup, 0, true, {}, {}});
    for (const qsizetype limit : {600, 2048, 4096}) {
      const QString cut = RenderMessage(message, {markup, limit, true, {}, {}});
      EXPECT_LE(cut.toUtf8().size(), limit);
      EXPECT_FALSE(cut.contains(QChar::ReplacementCharacter));
      QStringList lines = cut.split(u'\n');
      static const QRegularExpression note(u"^（略去 (\\d+) 字）$"_s);
      const auto left = note.match(lines.takeLast());
      ASSERT_TRUE(left.hasMatch()) << cut.toStdString();
      EXPECT_GT(left.captured(1).toInt(), 100);
      EXPECT_TRUE(lines.takeLast().trimmed().endsWith(u"…"_s)) << cut.toStdString();
      EXPECT_TRUE(cut.contains(u"最高｜湿度"_s)) << cut.toStdString();
      for (const QString& shown : lines) {
        if (shown.contains(u'｜')) {
          EXPECT_TRUE(whole.contains(shown + u'\n')) << shown.toStdString();
        }
      }
    }
  }
}

}  // namespace
}  // namespace skyloom
