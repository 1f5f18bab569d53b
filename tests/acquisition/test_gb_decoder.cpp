#include <gtest/gtest.h>

#include <random>

#include "platform/gb_decoder.h"
#include "support/gb_bytes.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

TEST(DecodeGb2312, Gb2312ChineseAndAsciiComeBackUnchanged) {
  const QString text =
      u"<p>市气象台今天17点钟发布的天气预报：多云，东北风4到5级。最高温度：13℃。</p>\r\n"_s;
  const QByteArray bytes = test::ToGbBytes(text);
  ASSERT_GT(bytes.size(), text.size());  // the Chinese really is two bytes a character
  EXPECT_EQ(DecodeGb2312(bytes), text);
}

TEST(DecodeGb2312, EmptyBytesGiveEmptyText) {
  EXPECT_EQ(DecodeGb2312(QByteArrayView()), QString());
}

struct DecodeCase {
  const char* name;
  QByteArray bytes;
  QString expected;
};

void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.name; }

class DecodeGb2312Cases : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeGb2312Cases, GivesTheExpectedText) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(DecodeGb2312(c.bytes), c.expected) << DecodeGb2312(c.bytes).toStdString();
}

const QString kBad = QString(QChar(0xFFFD));

// Pages labelled gb2312 are in practice GBK or GB18030, as browsers read them.
INSTANTIATE_TEST_SUITE_P(
    BeyondGb2312, DecodeGb2312Cases,
    testing::Values(
        DecodeCase{"gbk_only_kun", QByteArray("\x88\xD2"), u"堃"_s},
        // The second byte of 镕 is the ASCII letter F.
        DecodeCase{"gbk_only_rong", QByteArray("\xE9\x46"), u"镕"_s},
        DecodeCase{"gbk_between_ascii", QByteArray("<b>\x88\xD2\xE9\x46</b>"), u"<b>堃镕</b>"_s},
        DecodeCase{"four_bytes_first_code", QByteArray("\x81\x30\x81\x30"), u"\u0080"_s},
        DecodeCase{"four_bytes_last_of_bmp", QByteArray("\x84\x31\xA4\x39"), u"\uFFFF"_s},
        DecodeCase{"four_bytes_first_supplementary", QByteArray("\x90\x30\x81\x30"),
                   QString::fromUcs4(U"\U00010000")},
        DecodeCase{"four_bytes_last_supplementary", QByteArray("\xE3\x32\x9A\x35"),
                   QString::fromUcs4(U"\U0010FFFF")},
        DecodeCase{"byte_0x80_is_euro", QByteArray("\x80\xC7\xE7"), u"€晴"_s},
        DecodeCase{"a3a0_is_ideographic_space", QByteArray("\xA3\xA0"), u"\u3000"_s},
        DecodeCase{"a1a1_is_ideographic_space", QByteArray("\xA1\xA1"), u"\u3000"_s}),
    [](const auto& info) { return std::string(info.param.name); });

// GB18030-2022 moved eighteen two-byte codes out of the private use area; the four-byte codes
// of the same characters keep decoding to them.
INSTANTIATE_TEST_SUITE_P(
    Gb18030Of2022, DecodeGb2312Cases,
    testing::Values(
        DecodeCase{"a6d9_vertical_comma", QByteArray("\xA6\xD9"), u"\uFE10"_s},
        DecodeCase{"a6da_vertical_full_stop", QByteArray("\xA6\xDA"), u"\uFE12"_s},
        DecodeCase{"a6db_vertical_ideographic_comma", QByteArray("\xA6\xDB"), u"\uFE11"_s},
        DecodeCase{"a6dc_vertical_colon", QByteArray("\xA6\xDC"), u"\uFE13"_s},
        DecodeCase{"a6dd_vertical_semicolon", QByteArray("\xA6\xDD"), u"\uFE14"_s},
        DecodeCase{"a6de_vertical_exclamation_mark", QByteArray("\xA6\xDE"), u"\uFE15"_s},
        DecodeCase{"a6df_vertical_question_mark", QByteArray("\xA6\xDF"), u"\uFE16"_s},
        DecodeCase{"a6ec_vertical_left_lenticular", QByteArray("\xA6\xEC"), u"\uFE17"_s},
        DecodeCase{"a6ed_vertical_right_lenticular", QByteArray("\xA6\xED"), u"\uFE18"_s},
        DecodeCase{"a6f3_vertical_ellipsis", QByteArray("\xA6\xF3"), u"\uFE19"_s},
        DecodeCase{"fe59_ideograph", QByteArray("\xFE\x59"), u"\u9FB4"_s},
        DecodeCase{"fe61_ideograph", QByteArray("\xFE\x61"), u"\u9FB5"_s},
        DecodeCase{"fe66_ideograph", QByteArray("\xFE\x66"), u"\u9FB6"_s},
        DecodeCase{"fe67_ideograph", QByteArray("\xFE\x67"), u"\u9FB7"_s},
        DecodeCase{"fe6d_ideograph", QByteArray("\xFE\x6D"), u"\u9FB8"_s},
        DecodeCase{"fe7e_ideograph", QByteArray("\xFE\x7E"), u"\u9FB9"_s},
        DecodeCase{"fe90_ideograph", QByteArray("\xFE\x90"), u"\u9FBA"_s},
        DecodeCase{"fea0_ideograph", QByteArray("\xFE\xA0"), u"\u9FBB"_s},
        DecodeCase{"four_byte_vertical_comma", QByteArray("\x84\x31\x82\x36"), u"\uFE10"_s},
        DecodeCase{"four_byte_last_ideograph", QByteArray("\x82\x35\x91\x34"), u"\u9FBB"_s}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Invalid, DecodeGb2312Cases,
    testing::Values(DecodeCase{"lead_then_lt", QByteArray("\x81<p>"), kBad + u"<p>"_s},
                    DecodeCase{"lead_then_ascii_7f", QByteArray("\xB0\x7F"), kBad + u"\u007F"_s},
                    DecodeCase{"lead_then_bad_high_byte", QByteArray("\xB0\xFFx"), kBad + u"x"_s},
                    DecodeCase{"ff_alone", QByteArray("\xFF"), kBad},
                    DecodeCase{"ff_then_lt", QByteArray("\xFF<"), kBad + u"<"_s},
                    DecodeCase{"lead_at_end", QByteArray("a\xB0"), u"a"_s + kBad},
                    DecodeCase{"two_of_four_at_end", QByteArray("a\x81\x30"), u"a"_s + kBad},
                    DecodeCase{"three_of_four_at_end", QByteArray("\x81\x30\x81"), kBad},
                    DecodeCase{"two_of_four_then_lt", QByteArray("\x81\x30<"), kBad + u"0<"_s},
                    DecodeCase{"three_of_four_then_lt", QByteArray("\x81\x30\x81<"),
                               kBad + u"0"_s + kBad + u"<"_s},
                    DecodeCase{"four_bytes_in_the_gap_after_bmp", QByteArray("\x84\x31\xA5\x30"),
                               kBad},
                    DecodeCase{"four_bytes_beyond_unicode", QByteArray("\xE3\x32\x9A\x36"), kBad},
                    DecodeCase{"bad_sequence_inside_text", QByteArray("\xC7\xE7\xFF\xC7\xE7"),
                               u"晴"_s + kBad + u"晴"_s}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeGb2312, TheHelperEncodesGbkOnlyCharactersAsTheDecoderReadsThem) {
  EXPECT_EQ(test::ToGbBytes(u"堃镕"_s), QByteArray("\x88\xD2\xE9\x46"));
  const QString supplementary = QString::fromUcs4(U"\U00020000\U0001F600");
  EXPECT_EQ(DecodeGb2312(test::ToGbBytes(supplementary)), supplementary);
}

// Bytes below 0x30 and from 0x3A to 0x3F never belong to a valid sequence, so whatever
// garbage surrounds them they must come out as the same characters: markup ("<", ">",
// "=", "/", quotes) and line breaks survive any damage to the text around them.
TEST(DecodeGb2312, MarkupBytesSurviveRandomGarbage) {
  static const char kAlphabet[] = "<>/=\"\r\n 09aF\x80\x81\x84\x90\xA1\xA3\xB0\xC7\xE3\xE7\xFE\xFF";
  std::mt19937 random(1207);
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 2);
  std::uniform_int_distribution<int> length(0, 64);
  const auto isMarkup = [](char16_t c) { return c < 0x30 || (c >= 0x3A && c <= 0x3F); };
  int failures = 0;
  for (int i = 0; i < 4000 && failures < 5; ++i) {
    QByteArray bytes;
    for (int n = length(random); n > 0; --n) bytes.append(kAlphabet[pick(random)]);
    QString markupIn;
    for (const char byte : bytes) {
      if (isMarkup(static_cast<unsigned char>(byte))) markupIn.append(QLatin1Char(byte));
    }
    QString markupOut;
    for (const QChar c : DecodeGb2312(bytes)) {
      if (isMarkup(c.unicode())) markupOut.append(c);
    }
    if (markupOut != markupIn) {
      ++failures;
      ADD_FAILURE() << "bytes: " << bytes.toHex(' ').toStdString();
    }
  }
}

}  // namespace
}  // namespace skyloom
