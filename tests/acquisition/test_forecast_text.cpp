#include <gtest/gtest.h>

#include <optional>

#include "acquisition/forecast_text.h"
#include "acquisition/page_client.h"
#include "platform/gb_decoder.h"
#include "support/gb_bytes.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

const QString kBegin = QString::fromUtf16(kBeginMarker);
const QString kEnd = QString::fromUtf16(kEndMarker);
const QString kIssued = QStringLiteral("点钟发布：&nbsp;&nbsp;&nbsp;");

QString SamplePage() {
  return DecodeGb2312(test::ReadTestData(QStringLiteral("shortnb_output.html")));
}

QString SampleForecast() {
  return QString::fromUtf8(test::ReadTestData(QStringLiteral("shortnb_output.expected.txt")));
}

QString Page(const QString& forecast) {
  return QStringLiteral("<html><body>\r\n") + kBegin + forecast + kEnd +
         QStringLiteral("是2026年12月7日</b></div></body></html>");
}

TEST(ExtractForecast, TheSamplePageGivesTheKnownForecast) {
  EXPECT_EQ(ExtractForecast(SamplePage()), SampleForecast());
}

struct ExtractCase {
  std::string name;
  QString page;
  std::optional<QString> expected;
  PageMarkers markers = {};
};

void PrintTo(const ExtractCase& c, std::ostream* out) { *out << c.name; }

class ExtractForecastCases : public testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractForecastCases, GivesTheExpectedForecast) {
  const ExtractCase& c = GetParam();
  EXPECT_EQ(ExtractForecast(c.page, c.markers), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cleaning, ExtractForecastCases,
    testing::Values(
        ExtractCase{"tags_blanks_crlf_and_ideographic_spaces_removed",
                    Page(u"\r\n<p>　　今天 夜里 到\r\n明天</p>\r\n"_s), u"今天夜里到明天"_s},
        ExtractCase{"lone_cr_lone_lf_and_tabs_stay", Page(u"a\rb\nc\td\n\re"_s),
                    u"a\rb\nc\td\n\re"_s},
        // Each removal is one left-to-right pass, so a pair formed by a removal stays.
        ExtractCase{"crlf_pairs_removed_in_one_pass", Page(u"a\r\r\n\nb"_s), u"a\r\nb"_s},
        ExtractCase{"blanks_go_before_crlf_pairs", Page(u"a\r \nb"_s), u"ab"_s},
        ExtractCase{"ideographic_spaces_go_after_crlf_pairs", Page(u"a\r　\nb"_s), u"a\r\nb"_s},
        ExtractCase{"entities_kept_as_written", Page(u"<p>&nbsp;晴&amp;</p>"_s),
                    u"&nbsp;晴&amp;"_s},
        ExtractCase{"only_tags_gives_empty_text", Page(u"<p></p>\r\n"_s), u""_s}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Headings, ExtractForecastCases,
    testing::Values(
        ExtractCase{"coastal_heading_rewritten",
                    Page(u"<b>市气象台今天17点钟发布的沿海大风警报和天气预报</b><p>多云</p>"_s),
                    u"市气象台今天17"_s + kIssued + u"多云"_s},
        ExtractCase{"plain_heading_rewritten",
                    Page(u"<b>市气象台今天11点钟发布的天气预报</b><p>阴</p>"_s),
                    u"市气象台今天11"_s + kIssued + u"阴"_s},
        ExtractCase{"both_headings_rewritten",
                    Page(u"5点钟发布的沿海大风警报和天气预报甲11点钟发布的天气预报乙"_s),
                    u"5"_s + kIssued + u"甲11"_s + kIssued + u"乙"_s},
        ExtractCase{
            "a_heading_twice_rewritten_twice",
            Page(u"5点钟发布的沿海大风警报和天气预报甲17点钟发布的沿海大风警报和天气预报乙"_s),
            u"5"_s + kIssued + u"甲17"_s + kIssued + u"乙"_s},
        ExtractCase{"heading_split_by_blanks_and_tags_still_rewritten",
                    Page(u"<b>17点钟 发布的<i>天气</i>预报</b>"_s), u"17"_s + kIssued},
        ExtractCase{"heading_alone_is_rewritten", Page(u"点钟发布的天气预报"_s), kIssued}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Markers, ExtractForecastCases,
    testing::Values(
        // Cutting from a fixed position instead would keep the head of a redesigned page.
        ExtractCase{"no_begin_marker", u"0123456789abcdEFG"_s + kEnd, std::nullopt},
        ExtractCase{"begin_marker_compared_exactly", u"<!-- BEGIN -->晴"_s + kEnd, std::nullopt},
        ExtractCase{"end_marker_compared_exactly", kBegin + u"晴<DIV align=\"right\"><b>今天"_s,
                    std::nullopt},
        ExtractCase{"markers_adjacent", kBegin + kEnd, std::nullopt},
        ExtractCase{"end_marker_before_begin_marker", kEnd + u"甲"_s + kBegin + u"乙"_s,
                    std::nullopt},
        ExtractCase{"end_marker_searched_from_the_begin_marker",
                    kEnd + u"甲"_s + kBegin + u"乙"_s + kEnd, u"乙"_s},
        ExtractCase{"end_marker_missing", kBegin + u"晴"_s, std::nullopt},
        ExtractCase{"first_end_marker_ends_the_text", kBegin + u"甲"_s + kEnd + u"乙"_s + kEnd,
                    u"甲"_s},
        ExtractCase{"short_page", u"abc"_s, std::nullopt},
        ExtractCase{"empty_page", QString(), std::nullopt},
        ExtractCase{"configured_markers", u"<td id=\"f\">;晴<br> 转多云</td>"_s, u";晴转多云"_s,
                    PageMarkers{u"<td id=\"f\">"_s, u"</td>"_s}},
        ExtractCase{"configured_markers_replace_the_built_in_ones", Page(u"晴"_s), std::nullopt,
                    PageMarkers{u"<td id=\"f\">"_s, u"</td>"_s}}),
    [](const auto& info) { return info.param.name; });

TEST(TrimBlanks, RemovesOnlyLeadingAndTrailingBlanks) {
  const std::pair<QString, QString> cases[] = {{u"  a b  "_s, u"a b"_s},
                                               {u"\t a \t"_s, u"\t a \t"_s},
                                               {u" \r\na\r\n "_s, u"\r\na\r\n"_s},
                                               {u"　晴　"_s, u"　晴　"_s},
                                               {u" \u00A0a\u00A0 "_s, u"\u00A0a\u00A0"_s},
                                               {u"   "_s, QString()},
                                               {QString(), QString()},
                                               {u"a"_s, u"a"_s}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(TrimBlanks(text), expected) << text.toStdString();
  }
}

QString StampOf(const QString& address) {
  const qsizetype at = address.indexOf(QStringLiteral("?rstr="));
  return at < 0 ? QString() : address.mid(at + 6);
}

TEST(StampedAddress, KeepsTheBoxTextAsItStandsAndJoinsItsQuery) {
  const QDateTime now(QDate(2026, 12, 7), QTime(17, 5, 9));
  const QString stamp = StampOf(StampedAddress(u"http://h/p"_s, now));
  const std::pair<QString, QString> cases[] = {
      {u"http://h/xxw/p.asp  "_s, u"http://h/xxw/p.asp  ?rstr=%1"_s},
      {u"  http://h/p"_s, u"  http://h/p?rstr=%1"_s},
      {u"http://h/p?a=b"_s, u"http://h/p?a=b&rstr=%1"_s},
      {u"http://h/p?"_s, u"http://h/p?rstr=%1"_s},
      {u"http://h/p?a=b&"_s, u"http://h/p?a=b&rstr=%1"_s},
      {u"http://h/p#today"_s, u"http://h/p?rstr=%1#today"_s},
      {u"http://h/p?a=b#x?y"_s, u"http://h/p?a=b&rstr=%1#x?y"_s},
  };
  for (const auto& [box, expected] : cases) {
    EXPECT_EQ(StampedAddress(box, now), expected.arg(stamp)) << box.toStdString();
  }
}

TEST(StampedAddress, StampHasNoBlanksColonsOrHyphensAndChangesEverySecond) {
  const QDateTime instants[] = {QDateTime(QDate(2026, 12, 7), QTime(17, 5, 9)),
                                QDateTime(QDate(2026, 1, 1), QTime(0, 0)),
                                QDateTime(QDate(2026, 6, 30), QTime(23, 59, 59))};
  for (const QDateTime& now : instants) {
    SCOPED_TRACE(now.toString(Qt::ISODate).toStdString());
    const QString stamp = StampOf(StampedAddress(u"http://h/p"_s, now));
    EXPECT_FALSE(stamp.isEmpty());
    EXPECT_FALSE(stamp.contains(QLatin1Char(' ')) || stamp.contains(QLatin1Char(':')) ||
                 stamp.contains(QLatin1Char('-')))
        << stamp.toStdString();
    for (const QDateTime& later :
         {now.addSecs(1), now.addSecs(60), now.addSecs(3600), now.addDays(1)}) {
      EXPECT_NE(StampOf(StampedAddress(u"http://h/p"_s, later)), stamp);
    }
  }
}

}  // namespace
}  // namespace skyloom
