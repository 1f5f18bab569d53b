#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "../faults/skyloom_process.h"
#include "support/gb_bytes.h"
#include "support/scratch_db.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

struct SettingsCase {
  const char* name;
  QString file;  // written to <folder>/skyloom.conf; {page} and {db} are filled in
  QStringList arguments;
  int exitCode;
  QString said;         // part of stderr; empty: the attempt must be stored
  QString stored = {};  // the text it must store, when it matters
};

void PrintTo(const SettingsCase& c, std::ostream* out) { *out << c.name; }

const SettingsCase kCases[] = {
    {"values_from_the_file",
     u"# a comment\n\nurl = {page}\ndb = {db}\ntimeout = 20\n"_s,
     {},
     0,
     {}},
    {"the_command_line_overrides_the_file",
     u"url = http://127.0.0.1:9/nothing\ndb = {db}\n"_s,
     {u"--url"_s, u"{page}"_s},
     0,
     {}},
    // Quotes, "#", ";" and "=" belong to the value; only a whole line can be a comment.
    {"markers_as_written",
     u"url = {page}\ndb = {db}\n  ; comment\nbegin_marker = <font color=\"#003399\"><b>"
     u"市气象台今天11点钟发布的天气预报</b></font></p>\nend_marker = <div align=\"right\"><b>今天 \n"_s,
     {},
     0,
     {},
     u"今天白天：阴转多云。偏北风3到4级。最高温度：14℃。"_s},
    {"hour_past_23", u"windows = 06:15-24:00\n"_s, {}, 2, u"line 1: windows \"24:00\": hours"_s},
    {"end_before_start", u"\nwindows = 10:00-09:59\n"_s, {}, 2, u"2: windows 10:00-09:59 ends"_s},
    {"overlap", u"windows = 06:00-07:00,07:00-08:00\n"_s, {}, 2, u"windows 06:00-07:00 overlaps"_s},
    {"interval_under_1", u"interval = 0\n"_s, {}, 2, u"line 1: interval needs whole minutes"_s},
    {"empty_marker", u"end_marker =\n"_s, {}, 2, u"line 1: end_marker needs a text"_s},
    {"unknown_key", u"url = {page}\nretries = 3\n"_s, {}, 2, u"line 2: unknown key retries"_s},
    {"dashes_are_not_keys", u"connect-timeout = 3\n"_s, {}, 2, u"unknown key connect-timeout"_s},
    {"bad_value", u"db_timeout = soon\n"_s, {}, 2, u"line 1: db_timeout needs a number"_s},
    {"bad_standby", u"standby = sometimes\n"_s, {}, 2, u"line 1: standby needs never or auto"_s},
    {"bad_read_from", u"read_from = nearest\n"_s, {}, 2, u"read_from needs primary, standby"_s},
    {"lease_seconds", u"url = {page}\ndb = {db}\nlease_seconds = 3\n"_s, {}, 0, {}},
    {"keep_days",
     u"url = {page}\ndb = {db}\nkeep_attempts = 1\nkeep_deliveries = 36500\n"_s,
     {},
     0,
     {}},
    {"keep_no_days",
     u"keep_attempts = 0\n"_s,
     {},
     2,
     u"line 1: keep_attempts needs a number of days"_s},
    {"lease_over_300",
     u"lease_seconds = 301\n"_s,
     {},
     2,
     u"1: lease_seconds needs a whole number"_s},
    {"below_a_millisecond",
     u"url = {page}\ntimeout = 0.0009\n"_s,
     {},
     2,
     u"line 2: timeout needs a number of seconds from 0.001 to 86400"_s},
    {"over_a_day", u"connect_timeout = 86401\n"_s, {}, 2, u"line 1: connect_timeout needs"_s},
    {"port_out_of_range",
     u"db = {db}\nlisten = 127.0.0.1:99999\n"_s,
     {},
     2,
     u"line 2: listen needs HOST:PORT"_s},
    {"not_a_web_address",
     u"url = ftp://127.0.0.1/page\n"_s,
     {},
     2,
     u"line 1: url needs an http:// or https:// address"_s},
    {"unknown_channel_type",
     u"notify = slack http://127.0.0.1/x\n"_s,
     {},
     2,
     u"line 1: notify unknown channel type slack"_s},
    {"channel_not_on_the_web",
     u"\nnotify = webhook file:///etc/SECRET secret=SECRET\n"_s,
     {},
     2,
     u"line 2: notify webhook needs an http:// or https:// address"_s},
    {"unknown_channel_option",
     u"notify = wecom http://127.0.0.1/send?key=SECRET secret=SECRET\n"_s,
     {},
     2,
     u"line 1: notify unknown option secret for wecom"_s},
    {"channel_twice",
     u"notify = feishu http://127.0.0.1/hook/SECRET\nnotify = feishu http://127.0.0.1/hook/SECRET "
     u"events=new\n"_s,
     {},
     2,
     u"line 2: notify names the channel feishu:127.0.0.1:"_s},
    // Not a channel given twice: the file's are replaced.
    {"channels_on_the_command_line_replace_the_files",
     u"url = {page}\ndb = {db}\nnotify = webhook http://127.0.0.1:9/hook\n"_s,
     {u"--notify"_s, u"webhook http://127.0.0.1:9/hook"_s},
     0,
     {}},
    {"a_device", u"<dev-zero>"_s, {}, 2, u"not a regular file"_s},
    {"over_a_mebibyte", u"<big>"_s, {}, 2, u"larger than 1 MiB"_s},
    {"not_key_value", u"[skyloom]\n"_s, {}, 2, u"line 1: expected KEY = VALUE"_s},
    {"unreadable_file", u"<folder>"_s, {}, 2, u"skyloom.conf"_s},
    {"a_named_file_that_is_missing", u"<none>"_s, {}, 2, u"skyloom.conf"_s},
};

class SettingsFile : public testing::TestWithParam<SettingsCase> {};

// The default file comes from XDG_CONFIG_HOME; --config names another, which must exist.
TEST_P(SettingsFile, IsReadByEveryModeAndRefusedClearly) {
  const SettingsCase& c = GetParam();
  test::TestServer server;
  server.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  server.Start();
  const test::ScratchDb db;
  QTemporaryDir folder;
  const QString path = folder.filePath(u"skyloom.conf"_s);
  const auto fill = [&](QString text) {
    return text.replace(u"{page}"_s, server.Url(u"/page"_s)).replace(u"{db}"_s, db.Path());
  };
  if (c.file == u"<folder>"_s) {
    ASSERT_TRUE(QDir().mkpath(path));
  } else if (c.file == u"<dev-zero>"_s) {
    ASSERT_TRUE(QFile::link(u"/dev/zero"_s, path));
  } else if (c.file != u"<none>"_s) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    // Comments only, so that nothing but the size is wrong.
    file.write(c.file == u"<big>"_s ? QByteArray(1024 * 1024, '#') + '\n' : fill(c.file).toUtf8());
  }
  QStringList arguments{u"--once"_s, u"--config"_s, path};
  for (const QString& argument : c.arguments) arguments << fill(argument);

  const test::OnceRun run = test::RunProgram(arguments);

  EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
  if (c.said.isEmpty()) {
    EXPECT_EQ(db.Tq().size(), 1u) << run.err.toStdString();
    EXPECT_TRUE(c.stored.isEmpty() || db.Tq().at(0).tqyb.toString() == c.stored);
  } else {
    EXPECT_TRUE(run.err.contains(path)) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(c.said)) << run.err.toStdString();
  }
  EXPECT_FALSE(run.err.contains(u"SECRET"_s)) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsFile, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skyloom
