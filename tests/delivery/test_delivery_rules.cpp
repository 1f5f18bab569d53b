#include <gtest/gtest.h>

#include <vector>

#include "delivery/channel.h"
#include "delivery/delivery_rules.h"

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
}

}  // namespace
}  // namespace skyloom
