#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <chrono>
#include <thread>

#include "support/gb_bytes.h"
#include "support/refusing_port.h"
#include "support/scratch_db.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

struct Outcome {
  int exitCode = -1;
  QByteArray out;
  QByteArray err;
};

Outcome RunSkyloom(const QStringList& arguments) {
  QProcess process;
  process.start(QStringLiteral(SKYLOOM_EXECUTABLE), arguments);
  if (!process.waitForFinished(120'000) || process.exitStatus() != QProcess::NormalExit) {
    process.kill();
    process.waitForFinished();
    ADD_FAILURE() << "skyloom did not finish normally: " << process.errorString().toStdString();
    return {};
  }
  return Outcome{process.exitCode(), process.readAllStandardOutput(),
                 process.readAllStandardError()};
}

QByteArray SampleForecast() { return test::ReadTestData(u"shortnb_output.expected.txt"_s); }

class OnceTest : public testing::Test {
 protected:
  void SetUp() override {
    server.ServeBytes("/xxw/shortnb_output.asp", test::ReadTestData(u"shortnb_output.html"_s));
    server.Http().Get("/silent", [this](const httplib::Request&, httplib::Response&) {
      while (!server.Stopping()) std::this_thread::sleep_for(20ms);
    });
    server.Start();
  }

  test::TestServer server;
  test::ScratchDb db;
};

TEST_F(OnceTest, PrintsTheForecastAndStoresIt) {
  const Outcome run = RunSkyloom(
      {u"--once"_s, u"--url"_s, server.Url(u"/xxw/shortnb_output.asp"_s), u"--db"_s, db.Path()});

  EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
  EXPECT_EQ(run.out, SampleForecast() + '\n');
  ASSERT_EQ(db.Tq().size(), 1u);
  EXPECT_EQ(db.Tq()[0].tqyb.toString(), QString::fromUtf8(SampleForecast()));
  ASSERT_EQ(db.Tqlog().size(), 1u);
  EXPECT_EQ(db.Tqlog()[0].errdes, u"成功写入"_s);
}

TEST_F(OnceTest, AFailedRequestIsPrintedAndLoggedAndStillExitsZero) {
  const test::RefusingPort refusing;
  const Outcome run =
      RunSkyloom({u"--once"_s, u"--url"_s, u"http://127.0.0.1:%1/"_s.arg(refusing.Port()),
                  u"--db"_s, db.Path()});

  EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
  EXPECT_TRUE(QRegularExpression(u"^\\d+\r\n.+\n$"_s).match(QString::fromUtf8(run.out)).hasMatch())
      << run.out.toStdString();
  ASSERT_EQ(db.Tqlog().size(), 1u);
  EXPECT_EQ(db.Tqlog()[0].errstat, u"获取错误"_s);
  EXPECT_TRUE(db.Tq().empty());
}

TEST_F(OnceTest, TheTimeoutOptionLimitsTheRequest) {
  const Outcome run = RunSkyloom({u"--once"_s, u"--url"_s, server.Url(u"/silent"_s), u"--timeout"_s,
                                  u"1"_s, u"--db"_s, db.Path()});

  EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains("whole request 1 s")) << run.out.toStdString();
  ASSERT_EQ(db.Tqlog().size(), 1u);
  EXPECT_EQ(db.Tqlog()[0].errstat, u"获取错误"_s);
}

TEST_F(OnceTest, AStoreFailureIsReportedOnStandardErrorWithExitCodeOne) {
  const QString path = db.Folder() + u"/missing/tqyb.mdb"_s;
  const Outcome run = RunSkyloom(
      {u"--once"_s, u"--url"_s, server.Url(u"/xxw/shortnb_output.asp"_s), u"--db"_s, path});

  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(run.err.contains(path.toUtf8())) << run.err.toStdString();
  // What the result box would have shown is printed all the same.
  EXPECT_EQ(run.out, SampleForecast() + '\n');
}

struct UsageCase {
  const char* name;
  QStringList arguments;  // "DB" stands for a database path
};

void PrintTo(const UsageCase& c, std::ostream* out) { *out << c.name; }

class WrongUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(WrongUsage, ExitsWithTwoAndTheUsageOnStandardError) {
  test::ScratchDb db;
  QStringList arguments = GetParam().arguments;
  arguments.replaceInStrings(u"DB"_s, db.Path());

  const Outcome run = RunSkyloom(arguments);

  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(run.err.contains("usage: skyloom")) << run.err.toStdString();
  EXPECT_TRUE(run.out.isEmpty()) << run.out.toStdString();
  EXPECT_FALSE(QFile::exists(db.Path()));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, WrongUsage,
    testing::Values(
        UsageCase{"unknown_argument", {u"--bogus"_s}},
        UsageCase{"url_without_value", {u"--once"_s, u"--url"_s}},
        UsageCase{"argument_after_the_options", {u"--once"_s, u"--db"_s, u"DB"_s, u"extra"_s}},
        UsageCase{"two_modes", {u"--once"_s, u"--headless"_s, u"--db"_s, u"DB"_s}},
        UsageCase{"empty_database_name", {u"--once"_s, u"--db"_s, QString()}},
        UsageCase{"zero_timeout", {u"--once"_s, u"--timeout"_s, u"0"_s, u"--db"_s, u"DB"_s}},
        UsageCase{"timeout_below_a_millisecond",
                  {u"--once"_s, u"--timeout"_s, u"0.0009"_s, u"--db"_s, u"DB"_s}},
        UsageCase{"timeout_not_a_number",
                  {u"--once"_s, u"--connect-timeout"_s, u"soon"_s, u"--db"_s, u"DB"_s}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Skyloom, VersionPrintsTheVersion) {
  const Outcome run = RunSkyloom({u"--version"_s});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, QByteArray("Skyloom 1.5.3\n"));
}

TEST(Skyloom, HelpPrintsTheUsage) {
  const Outcome run = RunSkyloom({u"--help"_s});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.out.startsWith("usage: skyloom")) << run.out.toStdString();
  EXPECT_TRUE(run.out.contains("--once")) << run.out.toStdString();
}

}  // namespace
}  // namespace skyloom
