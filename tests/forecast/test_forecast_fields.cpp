#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "forecast/forecast_changes.h"
#include "forecast/forecast_fields.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

#define HEAD "市气象台今天17点钟发布：&nbsp;&nbsp;&nbsp;"
#define B17 "[市气象台 今天 17]"

QString Sample() {
  QFile file(QStringLiteral(SKYLOOM_TEST_DATA "/shortnb_output.expected.txt"));
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The JSON in one line: "[issuer day hour]", then "name:" and each field that is not null;
// pairs as "lowest-highest", "what/value", and clauses not understood after "?".
QString Summary(const QJsonValue& fields) {
  if (fields.isNull()) return u"null"_s;
  QStringList out;
  const auto text = [](const QJsonValue& v) {
    return v.isNull() ? u"null"_s : v.toVariant().toString();
  };
  const auto range = [](const QJsonValue& v) {
    return u"%1-%2"_s.arg(v[0].toInt()).arg(v[1].toInt());
  };
  const auto unparsed = [&out](const QJsonValue& v) {
    if (!v.toArray().isEmpty()) out << u"?"_s + v.toVariant().toStringList().join(u'|');
  };
  for (const QJsonValue b : fields[u"bulletins"_s].toArray()) {
    out << u"[%1 %2 %3]"_s.arg(text(b["issuer"]), text(b["issued_day"]), text(b["issued_hour"]));
    unparsed(b["unparsed"]);
    for (const QJsonValue p : b["periods"].toArray()) {
      out << p["name"].toString() + u':';
      if (!p["sky"].isNull()) out << u"sky="_s + p["sky"].toString();
      const QJsonValue wind = p["wind"];
      if (!wind.isNull())
        out << u"wind="_s + wind["direction"].toString() + u'/' + range(wind["force"]);
      for (const QJsonValue g : p["gusts"].toArray())
        out << u"gust="_s + text(g["area"]) + u'/' + range(g["force"]);
      for (const QString& key : {u"low"_s, u"high"_s}) {
        if (!p[key].isNull())
          out << key + u'=' + text(p[key]["day"]) + u'/' + text(p[key]["celsius"]);
      }
      if (!p["humidity"].isNull()) out << u"hum="_s + range(p["humidity"]);
      unparsed(p["unparsed"]);
    }
  }
  return out.join(u' ');
}

TEST(ForecastFields, TheSamplePageGivesTheDocumentedJson) {
  const QJsonValue expected = QJsonDocument::fromJson(R"({"bulletins": [
    {"issuer": "市气象台", "issued_day": "今天", "issued_hour": 17, "periods": [
      {"name": "今天夜里到明天", "sky": "多云到阴，有时有小雨", "wind": {"direction": "东北风", "force": [4, 5]},
       "gusts": [{"area": "沿江沿海地区", "force": [6, 7]}], "low": {"day": "明天", "celsius": 8},
       "high": {"day": "明天", "celsius": 13}, "humidity": [70, 95], "unparsed": []}], "unparsed": []},
    {"issuer": "市气象台", "issued_day": "今天", "issued_hour": 11, "periods": [
      {"name": "今天白天", "sky": "阴转多云", "wind": {"direction": "偏北风", "force": [3, 4]}, "gusts": [],
       "low": null, "high": {"day": null, "celsius": 14}, "humidity": null, "unparsed": []}],
     "unparsed": []}]})")
                                  .object();
  ASSERT_FALSE(Sample().isEmpty());
  EXPECT_EQ(ForecastFieldsJson(ParseForecastFields(Sample())), expected);
}

struct FieldsCase {
  const char* text;
  const char* summary;
};

// Paragraphs in the provider's style; what is not named stays out of the fields.
const FieldsCase kCases[] = {
    // Headings.
    {"", "null"},
    {"今天白天：阴转多云。偏北风3到4级。", "null"},
    {"市气象台今天17点钟发布的天气预报：今天白天：晴。", "null"},
    {"市气象台今天17点钟发布：", B17},
    {"区气象台昨天5点钟发布：今天：晴。", "[区气象台 昨天 5] 今天: sky=晴"},
    {"今天6点钟发布：今天白天：晴。", "[null 今天 6] 今天白天: sky=晴"},
    {"市气象台25点钟发布：今天：晴。", "[市气象台 null null] ?25 今天: sky=晴"},
    {"注意：市气象台今天8点钟发布：今天：晴。", "[null 今天 8] ?注意：市气象台 今天: sky=晴"},
    {"预报。市气象台今天8点钟发布：今天：晴。", "[市气象台 今天 8] ?预报 今天: sky=晴"},
    {HEAD HEAD "明天：阴。", B17 " " B17 " 明天: sky=阴"},
    {HEAD "今天：晴，最高温度：14℃市气象台今天11点钟发布：今天：阴。",
     B17 " 今天: sky=晴 ?最高温度：14℃市气象台 [null 今天 11] 今天: sky=阴"},
    {HEAD "请注意防范。今天：晴。", B17 " ?请注意防范 今天: sky=晴"},
    // Period names.
    {HEAD "今天白天：晴。今天夜里：多云。今天上午：阴。今天下午：小雨。",
     B17 " 今天白天: sky=晴 今天夜里: sky=多云 今天上午: sky=阴 今天下午: sky=小雨"},
    {HEAD "今天傍晚：晴。今天上半夜：阴。今天下半夜：雾。今晚：霾。",
     B17 " 今天傍晚: sky=晴 今天上半夜: sky=阴 今天下半夜: sky=雾 今晚: sky=霾"},
    {HEAD "明天：晴。明天白天：阴。明天夜里：雨。后天：雪。明后天：晴。",
     B17 " 明天: sky=晴 明天白天: sky=阴 明天夜里: sky=雨 后天: sky=雪 明后天: sky=晴"},
    {HEAD "今天白天到夜里：晴。今天夜里到明天白天：阴。今晚到明天：多云。",
     B17 " 今天白天到夜里: sky=晴 今天夜里到明天白天: sky=阴 今晚到明天: sky=多云"},
    {HEAD "今天白天：晴，夜里：多云。", B17 " 今天白天: sky=晴 夜里: sky=多云"},
    {HEAD "今天白天：。东北风3级。", B17 " 今天白天: wind=东北风/3-3"},
    // Skies.
    {HEAD "今天：阴有时有小雨。", B17 " 今天: sky=阴有时有小雨"},
    {HEAD "今天：晴间多云，局部地区有雾。", B17 " 今天: sky=晴间多云，局部地区有雾"},
    {HEAD "今天：小到中雨转大到暴雨。", B17 " 今天: sky=小到中雨转大到暴雨"},
    {HEAD "今天：雷阵雨伴有冰雹。", B17 " 今天: sky=雷阵雨伴有冰雹"},
    {HEAD "今天：雨夹雪转小雪到中雪。", B17 " 今天: sky=雨夹雪转小雪到中雪"},
    {HEAD "今天：多云转阴，夜里有小雨。", B17 " 今天: sky=多云转阴 ?夜里有小雨"},
    {HEAD "今天：天气晴好。", B17 " 今天: ?天气晴好"},
    {HEAD "今天：转多云。", B17 " 今天: ?转多云"},
    {HEAD "今天：晴转。", B17 " 今天: ?晴转"},
    {HEAD "今天：东北风3级。阴。", B17 " 今天: wind=东北风/3-3 ?阴"},
    // Winds and gusts.
    {HEAD "今天：晴，北风5级。", B17 " 今天: sky=晴 wind=北风/5-5"},
    {HEAD "今天：晴。东到东南风5到6级。", B17 " 今天: sky=晴 wind=东到东南风/5-6"},
    {HEAD "今天：晴。西北风7到8级，阵风9级。", B17 " 今天: sky=晴 wind=西北风/7-8 gust=null/9-9"},
    {HEAD "今天：晴。偏东风3级阵风5级。", B17 " 今天: sky=晴 wind=偏东风/3-3 gust=null/5-5"},
    {HEAD "今天：晴。西南风4-5级，沿江地区阵风6级，沿海地区阵风8到9级。",
     B17 " 今天: sky=晴 wind=西南风/4-5 gust=沿江地区/6-6 gust=沿海地区/8-9"},
    {HEAD "今天：晴。北风18级。南风5到3级。风力3级。微风。",
     B17 " 今天: sky=晴 ?北风18级|南风5到3级|风力3级|微风"},
    {HEAD "今天：晴。北风0到17级。东风3级转4级。北风3级。",
     B17 " 今天: sky=晴 wind=北风/0-17 ?东风3级转4级|北风3级"},
    // Temperatures.
    {HEAD "今天：晴。最低温度：-3℃，最高温度：零下1℃。",
     B17 " 今天: sky=晴 low=null/-3 high=null/-1"},
    {HEAD "明天：晴。明天最低温度：零下12℃，今天最高温度：2℃。",
     B17 " 明天: sky=晴 low=明天/-12 high=今天/2"},
    {HEAD "今天：晴。今天最高温度：14℃。最低温度：5℃。",
     B17 " 今天: sky=晴 low=null/5 high=今天/14"},
    {HEAD "今天：晴。今天夜里最低气温：−2℃。最高温度：14度。最高温度：100℃。",
     B17 " 今天: sky=晴 low=今天夜里/-2 ?最高温度：14度|最高温度：100℃"},
    {HEAD "今天：晴。最高温度：14℃，最高温度：15℃。",
     B17 " 今天: sky=晴 high=null/14 ?最高温度：15℃"},
    // Humidity.
    {HEAD "今天：晴。相对湿度：80%。", B17 " 今天: sky=晴 hum=80-80"},
    {HEAD "今天：晴。相对湿度：60到100%。", B17 " 今天: sky=晴 hum=60-100"},
    {HEAD "今天：晴。相对湿度：95%到70%。相对湿度：70%到105%。",
     B17 " 今天: sky=晴 ?相对湿度：95%到70%|相对湿度：70%到105%"},
    // Unknown clauses, as written, spaces read from entities included.
    {HEAD "今天：晴。紫外线强度：强；东北风3级。",
     B17 " 今天: sky=晴 wind=东北风/3-3 ?紫外线强度：强"},
    {HEAD "今天：晴。<b>雾&nbsp;霾</b>阵风9级。", B17 " 今天: sky=晴 gust=<b>雾 霾</b>/9-9"},
    {"<script>x()</script>市气象台今天17点钟发布：今天：<b>晴</b>。",
     "[null 今天 17] ?<script>x()</script>市气象台 今天: ?<b>晴</b>"},
};

TEST(ForecastFields, ParagraphsInTheProvidersStyle) {
  for (const FieldsCase& c : kCases) {
    const QString json =
        Summary(ForecastFieldsJson(ParseForecastFields(QString::fromUtf8(c.text))));
    EXPECT_EQ(json.toStdString(), c.summary) << c.text;
  }
}

// A megabyte: every bulletin read, in order; and one without a heading gives nothing.
TEST(ForecastFields, AMegabyteOfTextIsReadWhole) {
  const QString sample = Sample();
  const qsizetype copies = (1 << 20) / sample.size() + 1;
  const QJsonValue fields = ForecastFieldsJson(ParseForecastFields(sample.repeated(copies)));
  const QJsonArray bulletins = fields[u"bulletins"_s].toArray();
  ASSERT_EQ(bulletins.size(), 2 * copies);
  const QJsonArray one = ForecastFieldsJson(ParseForecastFields(sample))[u"bulletins"_s].toArray();
  EXPECT_EQ(bulletins.first(), one.first());
  EXPECT_EQ(bulletins.last(), one.last());
  EXPECT_TRUE(
      ForecastFieldsJson(ParseForecastFields(u"晴，东北风3级。"_s.repeated(1 << 16))).isNull());
}

struct ChangeCase {
  const char* name;
  const char* before;
  const char* after;
  std::vector<const char*> changes;  // as ChangeText writes them
};

#define H11 "市气象台今天11点钟发布：&nbsp;&nbsp;&nbsp;"

// Periods of one name are compared; a later issue's new names are compared in order, the
// lead period only; a field one side lacks reads "—"; text without a heading has no fields.
TEST(ForecastChanges, FieldsThatDifferBetweenTwoForecasts) {
  const ChangeCase cases[] = {
      {"same_period",
       H11 "今天白天：阴。最高温度：14℃。",
       H11 "今天白天：多云。最高温度：13℃。",
       {"天气 阴 → 多云", "最高温度 14℃ → 13℃"}},
      {"later_issue",
       H11 "今天白天：阴转多云。偏北风3到4级。最高温度：14℃。",
       HEAD "今天夜里到明天：多云到阴，有时有小雨。东北风4到5级，沿江沿海地区阵风6到7级。明天最低"
            "温度：8℃，最高温度：13℃。相对湿度：70%到95%。",
       {"时段 今天白天 → 今天夜里到明天", "天气 阴转多云 → 多云到阴，有时有小雨",
        "风 偏北风3–4级 → 东北风4–5级，沿江沿海地区阵风6–7级", "最低温度 — → 8℃",
        "最高温度 14℃ → 13℃", "相对湿度 — → 70–95%"}},
      {"field_gone",
       H11 "今天白天：晴。相对湿度：40%到60%。",
       H11 "今天白天：晴。",
       {"相对湿度 40–60% → —"}},
      {"several_periods",
       H11 "今天白天：晴。最高温度：14℃。今天夜里：阴。最低温度：5℃。",
       H11 "今天白天：晴。最高温度：15℃。今天夜里：阴。最低温度：5℃。",
       {"今天白天：最高温度 14℃ → 15℃"}},
      {"unchanged", H11 "今天白天：晴。", H11 "今天白天：晴。", {}},
  };
  for (const ChangeCase& c : cases) {
    const auto before = ParseForecastFields(QString::fromUtf8(c.before));
    const auto after = ParseForecastFields(QString::fromUtf8(c.after));
    ASSERT_TRUE(before && after) << c.name;
    QStringList got;
    for (const FieldChange& change : FieldChanges(*before, *after)) got << ChangeText(change);
    QStringList expected;
    for (const char* change : c.changes) expected << QString::fromUtf8(change);
    EXPECT_EQ(got, expected) << c.name;
  }
  EXPECT_FALSE(ParseForecastFields(u"今天多云，最高14度"_s));
  EXPECT_EQ(TextChanges(u"今天多云，最高14度"_s, u"今天晴，最高14度"_s),
            (std::vector<TextChange>{{u"今天多云，最高14度"_s, u"今天晴，最高14度"_s}}));
}

// A correction has its predecessor's issuer and issue time, the day read from when each was
// stored: "今天17点" stored on two days is two issues, "昨天17点" after midnight is the same.
TEST(ForecastChanges, ACorrectionHasTheSameIssuerAndIssueTime) {
  const struct {
    const char* before;
    const char* beforeDay;
    const char* after;
    const char* afterDay;
    bool correction;
  } cases[] = {
      {HEAD "今天白天：晴。", "2026-12-07", HEAD "今天白天：阴。", "2026-12-07", true},
      {HEAD "今天白天：晴。", "2026-12-07", HEAD "今天白天：阴。", "2026-12-08", false},
      {HEAD "今天白天：晴。", "2026-12-07", "市气象台昨天17点钟发布：今天白天：阴。", "2026-12-08",
       true},
      {HEAD "今天白天：晴。", "2026-12-07", "区气象台今天17点钟发布：今天白天：阴。", "2026-12-07",
       false},
      {HEAD "今天白天：晴。", "2026-12-07", H11 "今天白天：阴。", "2026-12-07", false},
  };
  for (const auto& c : cases) {
    const auto day = [](const char* text) {
      return QDate::fromString(QLatin1String(text), Qt::ISODate);
    };
    EXPECT_EQ(IsCorrection(*ParseForecastFields(QString::fromUtf8(c.before)), day(c.beforeDay),
                           *ParseForecastFields(QString::fromUtf8(c.after)), day(c.afterDay)),
              c.correction)
        << c.after << " on " << c.afterDay;
  }
}

}  // namespace
}  // namespace skyloom
