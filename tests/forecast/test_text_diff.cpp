#include <gtest/gtest.h>

#include "forecast/text_diff.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

// The marks of the window are tested there; this is the guard against rows too long to
// compare character by character.
TEST(CharacterDiff, TextsTooLongToCompareMarkTheirChangedMiddleWhole) {
  QString before;
  QString after;
  for (int i = 0; i < 3000; ++i) {
    before += i % 7 == 0 ? u'晴' : u'云';
    after += i % 5 == 0 ? u'雨' : u'云';
  }
  const QString head = u"市气象台今天17点钟发布："_s;
  const QString tail = u"相对湿度：70%到95%。"_s;
  const auto spans = DiffCharacters(head + before + tail, head + after + tail);

  ASSERT_EQ(spans.size(), 4u);
  EXPECT_EQ(spans[0].kind, DiffSpan::Kind::Same);
  EXPECT_EQ(spans[0].text, head);
  EXPECT_EQ(spans[1].kind, DiffSpan::Kind::Deleted);
  EXPECT_EQ(spans[2].kind, DiffSpan::Kind::Inserted);
  EXPECT_EQ(spans[3].kind, DiffSpan::Kind::Same);
  EXPECT_TRUE(spans[3].text.endsWith(tail));
  EXPECT_EQ(spans[0].text + spans[1].text + spans[3].text, head + before + tail);
  EXPECT_EQ(spans[0].text + spans[2].text + spans[3].text, head + after + tail);
}

}  // namespace
}  // namespace skyloom
