#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <thread>

#include "schedule/sync_schedule.h"
#include "skyloom_process.h"
#include "support/raw_client.h"
#include "support/refusing_port.h"
#include "support/test_database.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

// Each leaves a trace in the page if it ever runs, as text, a gust's area or a clause not read.
const QString kForecast =
    u"台今天6点钟发布：&nbsp;&nbsp;今天：晴转多云。"
    "<img src=x onerror=\"document.body.dataset.ran=4\">阵风9级。最高温度：9℃。"
    "<script>document.body.dataset.ran=1</script><img src=x onerror=\"document.body.dataset.ran=2\">"_s;
const QString kDescription = u"<img src=x onerror=\"document.body.dataset.ran=3\">"_s;

struct Browser {
  const char* name;
  QStringList arguments;
  QString lang;
  QString heading;
};

void PrintTo(const Browser& browser, std::ostream* out) { *out << browser.name; }

class StatusPageInABrowser : public testing::TestWithParam<Browser> {};

// The page as Chromium has it once `condition` (a script's expression) holds, or why there is
// none.
std::pair<QString, QString> DumpDom(const QString& url, const QString& condition,
                                    const QStringList& arguments) {
  QProcess chromium;
  chromium.start(u"python3"_s, QStringList{u"" PAGE_DOM_SCRIPT ""_s, condition, url} + arguments);
  if (!chromium.waitForStarted())
    return {{}, u"chromium cannot start: "_s + chromium.errorString()};
  if (!chromium.waitForFinished(60'000)) chromium.kill();
  const QString dom = QString::fromUtf8(chromium.readAllStandardOutput());
  if (chromium.exitStatus() != QProcess::NormalExit || chromium.exitCode() != 0 || dom.isEmpty()) {
    return {{},
            u"chromium gave no page (exit %1): %2"_s.arg(chromium.exitCode())
                .arg(QString::fromUtf8(chromium.readAllStandardError().right(2000)))};
  }
  return {dom, {}};
}

TEST_P(StatusPageInABrowser, ShowsStoredRowsAsTextInTheBrowsersLanguage) {
  const auto db = test::MakeTestDatabase(test::Backend::Sqlite);
  db->MakeTablesElsewhere();
  // The chart's days: the newest of 03-01 is the last row, and 02-27 lies beyond a page of rows.
  db->Exec(
      u"INSERT INTO tq(logtime, tqyb) VALUES "
      "('2026-02-27 07:15:02', '台今天6点钟发布：今天：晴。最低温度：零下2℃。');"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
      "INSERT INTO tq(logtime, tqyb) SELECT '2026-03-01 07:15:02', '今天晴。' FROM n;"
      "INSERT INTO tq(logtime, tqyb) VALUES ('2026-03-01 09:15:02', '%1')"_s.arg(
          QString(kForecast).replace(u"'"_s, u"''"_s)));
  db->Exec(
      u"INSERT INTO tqlog VALUES ('2026-03-01 07:15:02', '正常获取', 0, '成功写入'), "
      "('2026-03-01 07:45:02', '获取错误', 7, '%1')"_s.arg(kDescription));
  const test::RefusingPort provider;
  test::ProgramOptions options;
  options.clockStart = QDateTime(QDate(2026, 3, 2), QTime(20, 0));
  test::HeadlessProgram program({u"--url"_s, u"http://127.0.0.1:%1/"_s.arg(provider.Port()),
                                 u"--db"_s, db->Location(), u"--listen"_s, u"127.0.0.1:0"_s},
                                options);
  ASSERT_TRUE(program.WaitForError(u"serving the API on"_s, 30'000)) << program.Err().toStdString();
  const auto url = QRegularExpression(u"http://127\\.0\\.0\\.1:\\d+"_s).match(program.Err());
  ASSERT_TRUE(url.hasMatch()) << program.Err().toStdString();

  // Everything is shown once the time of the first look is.
  const auto [dom, problem] =
      DumpDom(url.captured() + u"/"_s, u"document.getElementById('checked').textContent"_s,
              GetParam().arguments);
  ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
  EXPECT_TRUE(dom.contains(u"<html lang=\"%1\">"_s.arg(GetParam().lang)))
      << dom.left(200).toStdString();
  EXPECT_TRUE(dom.contains(GetParam().heading));
  // Serialised, U+00A0 reads "&nbsp;" and the entity text itself "&amp;nbsp;".
  const QString shown =
      u"台今天6点钟发布：&nbsp;&nbsp;今天：晴转多云。&lt;img src=x onerror=\"document.body.dataset."
      "ran=4\"&gt;阵风9级。最高温度：9℃。&lt;script&gt;document.body.dataset.ran=1&lt;/script&gt;"
      "&lt;img src=x onerror=\"document.body.dataset.ran=2\"&gt;"_s;
  EXPECT_TRUE(dom.contains(u"<p id=\"forecast\" class=\"forecast\">"_s + shown + u"</p>"_s))
      << dom.toStdString();
  EXPECT_TRUE(dom.contains(u"<th>今天</th><td>晴转多云</td>"_s));
  // One point a day, from its newest forecast, which hovering shows.
  EXPECT_EQ(dom.count(u"class=\"day\""_s), 2);
  EXPECT_EQ(dom.count(u"<circle "_s), 2);
  EXPECT_TRUE(dom.contains(u"\n2026-03-01 09:15:02\n"_s + shown + u"</title>"_s));
  EXPECT_TRUE(dom.contains(u"\n2026-02-27 07:15:02\n"_s));
  EXPECT_FALSE(dom.contains(u"\n2026-03-01 07:15:02\n"_s));
  EXPECT_TRUE(
      dom.contains(u"<td>&lt;img src=x onerror=\"document.body.dataset.ran=3\"&gt;</td>"_s));
  EXPECT_FALSE(dom.contains(u"data-ran"_s));
  EXPECT_FALSE(dom.contains(u"<img src=\"x\""_s));
  EXPECT_FALSE(dom.contains(u"<script>document"_s));
  EXPECT_EQ(dom.count(u" role=\"img\""_s), 14 * SyncWindows{}.TimedSlots().size());
  EXPECT_TRUE(dom.contains(u"<span class=\"cell error\" title=\""_s));
  EXPECT_TRUE(program.Terminate()) << program.Err().toStdString();
}

// Stored by another program once the page listens: it shows long before the next poll would
// have found it, 30 s on.
TEST(StatusPageStream, AForecastStoredElsewhereShowsAtOnce) {
  const auto db = test::MakeTestDatabase(test::Backend::Sqlite);
  db->MakeTablesElsewhere();
  db->Exec(u"INSERT INTO tq(logtime, tqyb) VALUES ('2026-03-01 07:15:02', '今天晴。')"_s);
  const test::RefusingPort provider;
  test::HeadlessProgram program({u"--url"_s, u"http://127.0.0.1:%1/"_s.arg(provider.Port()),
                                 u"--db"_s, db->Location(), u"--listen"_s, u"127.0.0.1:0"_s},
                                test::ProgramOptions{});
  ASSERT_TRUE(program.WaitForError(u"serving the API on"_s, 30'000)) << program.Err().toStdString();
  const auto url = QRegularExpression(u"http://127\\.0\\.0\\.1:(\\d+)"_s).match(program.Err());
  ASSERT_TRUE(url.hasMatch()) << program.Err().toStdString();
  std::thread writer([&db, port = url.captured(1).toInt()] {
    const std::string metrics = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    for (int tries = 0; tries < 100; ++tries) {
      if (test::Exchange(port, metrics).Body().find("skyloom_event_streams 1\n") !=
          std::string::npos) {
        db->Exec(u"INSERT INTO tq(logtime, tqyb) VALUES ('2026-03-02 19:00:00', '夜间有雨。')"_s);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const auto [dom, problem] =
      DumpDom(url.captured() + u"/"_s,
              u"document.getElementById('forecast').textContent == '夜间有雨。'"_s, {});
  writer.join();
  ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
  EXPECT_TRUE(dom.contains(u"<p id=\"forecast\" class=\"forecast\">夜间有雨。</p>"_s))
      << dom.toStdString();
  EXPECT_TRUE(dom.contains(u"Live: a new forecast shows at once."_s));
  EXPECT_TRUE(program.Terminate()) << program.Err().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Languages, StatusPageInABrowser,
    testing::Values(Browser{"english_by_default", {}, u"en"_s, u"Newest forecast"_s},
                    Browser{"chinese", {u"--accept-lang=zh-CN,zh"_s}, u"zh-CN"_s, u"最新预报"_s},
                    Browser{"english_before_chinese",
                            {u"--accept-lang=en-GB,zh"_s},
                            u"en"_s,
                            u"Newest forecast"_s}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skyloom
