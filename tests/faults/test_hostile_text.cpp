#include <gtest/gtest.h>

#include <QJsonDocument>

#include "skyloom_process.h"
#include "support/gb_bytes.h"
#include "support/scratch_db.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

struct HostileText {
  const char* name;
  QString forecast;  // as the page carries it between the markers
  QString stored;    // as the page rules extract it
  QString shown{};   // as plain text on a terminal; empty: as stored
};

void PrintTo(const HostileText& text, std::ostream* out) { *out << text.name; }

QString LongLine() {
  QString line;
  while (line.size() < 100'000) line += u"晴';\"--"_s;
  line.truncate(100'000);
  return line;
}

const HostileText kTexts[] = {
    {"apostrophes_and_quotes", u"今天'晴'，明天\"多云\"，O'Brien's"_s,
     u"今天'晴'，明天\"多云\"，O'Brien's"_s},
    // Blanks go, as for any forecast; everything else is kept as text.
    {"sql_fragments", u"'); DROP TABLE tq; --"_s, u"');DROPTABLEtq;--"_s},
    {"always_true_condition", u"' OR '1'='1"_s, u"'OR'1'='1"_s},
    {"format_and_escape_sequences", u"100%s%d%n\\'\\\"\\\\"_s, u"100%s%d%n\\'\\\"\\\\"_s},
    {"control_characters", u"晴\x01\x02\t\x0b\x0c\x1b\x7f转\n多云\r阴"_s,
     u"晴\x01\x02\t\x0b\x0c\x1b\x7f转\n多云\r阴"_s, u"晴��\t����转\n多云�阴"_s},
    {"terminal_title_and_bell", u"\x1b]0;owned\x07晴\x1b[2J"_s, u"\x1b]0;owned\x07晴\x1b[2J"_s,
     u"�]0;owned�晴�[2J"_s},
    {"line_of_100000_characters", LongLine(), LongLine()},
};

class HostileTexts : public testing::TestWithParam<HostileText> {};

TEST_P(HostileTexts, AreStoredAndComparedExactly) {
  const HostileText& text = GetParam();
  test::TestServer server;
  server.ServeBytes("/page", test::ToGbBytes(u"<html><body><!-- begin -->"_s + text.forecast +
                                             u"<div align=\"right\"><b>今天</b></div>"_s));
  server.Start();
  const test::ScratchDb db;
  const QStringList arguments{u"--url"_s, server.Url(u"/page"_s), u"--db"_s, db.Path()};

  const test::OnceRun first = test::RunOnce(arguments);
  // The same text again must compare equal to what was stored.
  const test::OnceRun second = test::RunOnce(arguments);

  ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
  ASSERT_EQ(second.exitCode, 0) << second.err.toStdString();
  const QString shown = text.shown.isEmpty() ? text.stored : text.shown;
  EXPECT_EQ(first.out, shown + u"\n"_s);
  EXPECT_EQ(test::RunProgram({u"--latest"_s, u"--db"_s, db.Path()}).out, shown + u"\n"_s);
  const QString json = test::RunProgram({u"--latest"_s, u"--json"_s, u"--db"_s, db.Path()}).out;
  EXPECT_EQ(QJsonDocument::fromJson(json.toUtf8())[u"text"_s].toString(), text.stored);
  const auto tq = db.Tq();
  ASSERT_EQ(tq.size(), 1u);
  EXPECT_EQ(tq[0].tqyb.toString(), text.stored);
  const auto log = db.Tqlog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].errdes, u"成功写入"_s);
  EXPECT_EQ(log[1].errdes, u"未写入"_s);
}

INSTANTIATE_TEST_SUITE_P(HostileForecasts, HostileTexts, testing::ValuesIn(kTexts),
                         [](const testing::TestParamInfo<HostileText>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace skyloom
