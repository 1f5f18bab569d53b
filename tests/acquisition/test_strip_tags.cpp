#include <gtest/gtest.h>

#include <random>

#include "acquisition/strip_tags.h"
#include "support/strip_tags_as_written.h"

namespace skyloom {
namespace {

struct StripCase {
  const char* name;
  const char16_t* text;
  const char16_t* expected;
};

void PrintTo(const StripCase& c, std::ostream* out) { *out << c.name; }

class StripTagsCases : public testing::TestWithParam<StripCase> {};

TEST_P(StripTagsCases, GivesTheExpectedText) {
  const StripCase& c = GetParam();
  EXPECT_EQ(StripTags(QString::fromUtf16(c.text)), QString::fromUtf16(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, StripTagsCases,
    testing::Values(
        StripCase{"every_closed_tag_removed", u"<p><b>晴</b>转<i>多云</i></p>", u"晴转多云"},
        StripCase{"tag_with_attributes", u"<font color=\"#003399\">今天</font>夜里", u"今天夜里"},
        StripCase{"text_around_tags_kept", u"a<b>c<d>e", u"ace"},
        StripCase{"first_gt_before_first_lt_leaves_all", u">x<b>y</b>", u">x<b>y</b>"},
        StripCase{"leading_text_then_gt_leaves_all", u"3>2<b>y</b>", u"3>2<b>y</b>"},
        StripCase{"gt_in_plain_text_stops_removal", u"<b>x</b>a>b<i>y</i>", u"xa>b<i>y</i>"},
        StripCase{"second_lt_inside_a_run_is_cut_with_it", u"<a<b>c>d", u"c>d"},
        StripCase{"gt_right_after_a_tag_stops", u"<a>b>c<d>e", u"b>c<d>e"},
        StripCase{"final_lt_without_gt_kept", u"<b>x</b>y<z", u"xy<z"},
        StripCase{"final_lt_kept_with_what_follows", u"<p>晴</p><br", u"晴<br"},
        StripCase{"lone_lt", u"a<b", u"a<b"}, StripCase{"lone_gt", u"a>b", u"a>b"},
        StripCase{"empty_tag", u"a<>b", u"ab"}, StripCase{"only_tags", u"<p></p><br/>", u""},
        StripCase{"empty_text", u"", u""},
        StripCase{"no_tags", u"今天夜里到明天：多云", u"今天夜里到明天：多云"}),
    [](const testing::TestParamInfo<StripCase>& info) { return std::string(info.param.name); });

// Texts built from the characters that matter to the algorithm, with tags, stray brackets
// and characters outside the Basic Multilingual Plane mixed in at random.
QString RandomText(std::mt19937& random, int length) {
  static const char16_t* const pieces[] = {u"<", u"<",  u">",  u">",    u"a",  u"Z",
                                           u" ", u"晴", u"雨", u"\r\n", u"𠀀", u"<b>"};
  std::uniform_int_distribution<int> pick(0, std::size(pieces) - 1);
  QString text;
  for (int i = 0; i < length; ++i) text += QString::fromUtf16(pieces[pick(random)]);
  return text;
}

TEST(StripTags, MatchesTheOriginalAlgorithmOnGeneratedTexts) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> shortLength(0, 40);
  std::uniform_int_distribution<int> longLength(41, 600);
  int failures = 0;
  for (int i = 0; i < 6000 && failures < 10; ++i) {
    const int length = i % 10 == 0 ? longLength(random) : shortLength(random);
    const QString text = RandomText(random, length);
    const QString expected = test::StripTagsAsWritten(text);
    const QString actual = StripTags(text);
    if (actual != expected) {
      ++failures;
      ADD_FAILURE() << "text: " << text.toStdString() << "\nexpected: " << expected.toStdString()
                    << "\nactual: " << actual.toStdString();
    }
  }
}

}  // namespace
}  // namespace skyloom
