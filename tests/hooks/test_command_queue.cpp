#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string_view>

#include "hooks/command_queue.h"
#include "hooks/event_commands.h"
#include "store/forecast_store.h"
#include "support/application.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

constexpr int kHangBoundMs = 20'000;

class HookTest : public testing::Test {
 protected:
  void SetUp() override { test::Application(); }

  // The hook runs in a scratch folder, so that commands can leave files there.
  QString InFolder(const QString& command) const {
    return u"cd '%1' && { %2; }"_s.arg(folder.path(), command);
  }
  QByteArray Read(const QString& name) const {
    QFile file(folder.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  // A process that has ended but was not reaped yet counts as gone.
  bool Running(const QString& pidFile) const {
    const QByteArray pid = Read(pidFile).trimmed();
    QFile stat(u"/proc/%1/stat"_s.arg(QString::fromLatin1(pid)));
    return !pid.isEmpty() && stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
  }

  QTemporaryDir folder;
};

struct InputCase {
  const char* name;
  QString text;
};

CommandJob NewForecastJob(const QString& command, qint64 id, const QString& logtime,
                          const QString& text) {
  return CommandFor(
      Event{.kind = EventKind::NewForecast, .logtime = logtime, .forecastId = id, .text = text},
      command);
}

class HookInputTest : public HookTest, public testing::WithParamInterface<InputCase> {};

void PrintTo(const InputCase& input, std::ostream* out) { *out << input.name; }

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

TEST_P(HookInputTest, TheHookGetsTheTextIdAndLogtimeExactly) {
  CommandQueue queue;
  QSignalSpy finished(&queue, &CommandQueue::finished);
  queue.Enqueue(NewForecastJob(
      InFolder(u"cat > text; printf '%s|%s' \"$SKYLOOM_ID\" \"$SKYLOOM_LOGTIME\" > env"_s), 42,
      u"2026-12-07 06:31:58"_s, GetParam().text));
  ASSERT_TRUE(finished.wait(kHangBoundMs));
  EXPECT_EQ(finished.at(0).at(0).toString(), QString());
  EXPECT_EQ(Read(u"text"_s), GetParam().text.toUtf8());
  EXPECT_EQ(Read(u"env"_s), "42|2026-12-07 06:31:58");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HookInputTest,
    testing::Values(InputCase{"Chinese", u"今天白天晴，最高气温12℃；夜间多云。"_s},
                    InputCase{"QuotesAndNewlines",
                              u"it's \"quoted\" $HOME `date` \\n\nline\r\n\n"_s},
                    InputCase{"HundredThousandCharacters", QString(100'000, u'雨')}),
    CaseName<InputCase>);

struct FailureCase {
  const char* name;
  const char* command;
  std::chrono::milliseconds limit;
  const char* problem;  // a pattern the whole report must match
};

void PrintTo(const FailureCase& failure, std::ostream* out) { *out << failure.command; }

class HookFailureTest : public HookTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(HookFailureTest, IsReportedWithItsStatusAndFirstErrorLines) {
  CommandQueue queue(nullptr, GetParam().limit);
  QSignalSpy finished(&queue, &CommandQueue::finished);
  queue.Enqueue(NewForecastJob(InFolder(QString::fromUtf8(GetParam().command)), 7,
                               u"2026-12-07 06:31:58"_s, QString(100'000, u'x')));
  ASSERT_TRUE(finished.wait(kHangBoundMs));
  const QString problem = finished.at(0).at(0).toString();
  EXPECT_TRUE(QRegularExpression(u"\\A"_s + QString::fromUtf8(GetParam().problem) + u"\\z"_s)
                  .match(problem)
                  .hasMatch())
      << problem.toStdString();
  // Whatever the hook started is gone with it, even from a session of its own.
  if (std::string_view(GetParam().command).find("child") != std::string_view::npos) {
    ASSERT_TRUE(QFile::exists(folder.filePath(u"child"_s)));
    EXPECT_TRUE(QTest::qWaitFor([this] { return !Running(u"child"_s); }, kHangBoundMs));
  }
}

// A process of its own session that writes its pid to `child` and outlives the hook.
#define ESCAPED_CHILD "setsid sh -c 'echo $$ > child.new; mv child.new child; exec sleep 30' "
#define WHEN_ESCAPED "while [ ! -s child ]; do sleep 0.05; done"

INSTANTIATE_TEST_SUITE_P(
    Cases, HookFailureTest,
    testing::Values(
        FailureCase{
            "ExitStatus", "echo first >&2; echo second >&2; exit 3", 30s,
            "on_new: New-forecast hook for forecast 7: exited with status 3\nfirst\nsecond"},
        FailureCase{"KilledAtTheLimitWithItsChild", ESCAPED_CHILD "& " WHEN_ESCAPED "; wait", 300ms,
                    "on_new: New-forecast hook for forecast 7: killed after 300 ms"},
        FailureCase{"LeavesADaemonBehind", "(" ESCAPED_CHILD "&); " WHEN_ESCAPED, 30s, ""},
        FailureCase{"MissingCommand", "no-such-skyloom-hook", 30s,
                    ".*status 127\n.*no-such-skyloom-hook.*not found"},
        FailureCase{"Signal", "kill -TERM $$", 30s, ".*ended by signal 15"},
        // Floods on both outputs and never reads its input: only five cut lines are kept.
        FailureCase{"FloodsAndNeverReads",
                    "yes out | head -n 300000; yes e | tr -d '\\n' | head -c 5000 >&2; echo >&2;"
                    "yes line | head -n 100000 >&2; exit 1",
                    30s, ".*status 1\ne{200}…(\nline){4}"}),
    CaseName<FailureCase>);

// Events that come together (a recovery that stores a new forecast) run in the order they
// happened, each to its end: the end of one never takes another's processes with it.
TEST_F(HookTest, CommandsOfEventsAtOnceRunOneAfterTheOtherBesideTheEventLoop) {
  CommandQueue queue;
  QSignalSpy finished(&queue, &CommandQueue::finished);
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(50);
  queue.Enqueue(
      CommandFor(Event{.kind = EventKind::Recovery,
                       .logtime = u"2026-12-07 06:31:58"_s,
                       .status = kStatusFetched,
                       .failures = 3},
                 InFolder(u"sleep 0.5 & wait; echo recovery $SKYLOOM_FAILURES >> log"_s)));
  queue.Enqueue(NewForecastJob(InFolder(u"sleep 1 & wait; echo new $SKYLOOM_ID >> log"_s), 1,
                               u"2026-12-07 06:31:58"_s, u"a"_s));
  queue.Enqueue(NewForecastJob(InFolder(u"echo new $SKYLOOM_ID >> log"_s), 2,
                               u"2026-12-07 09:31:58"_s, u"b"_s));
  ASSERT_TRUE(QTest::qWaitFor([&] { return finished.size() == 3; }, kHangBoundMs));
  for (const auto& arguments : finished) EXPECT_EQ(arguments.at(0).toString(), QString());
  EXPECT_EQ(Read(u"log"_s), "recovery 3\nnew 1\nnew 2\n");
  // A second and a half of commands at 50 ms a tick: far more than a blocked loop would get.
  EXPECT_GE(ticks, 10);
}

TEST_F(HookTest, TheEndOfTheProgramGivesTheRunningHookItsTimeAndNamesTheQueuedOnes) {
  auto queue = std::make_unique<CommandQueue>(nullptr, 3s);
  const QString command = InFolder(u"" ESCAPED_CHILD "& sleep 1; echo done > finished; wait"_s);
  queue->Enqueue(NewForecastJob(command, 1, u"2026-12-07 06:31:58"_s, u"a"_s));
  queue->Enqueue(NewForecastJob(command, 2, u"2026-12-07 09:31:58"_s, u"b"_s));
  ASSERT_TRUE(QTest::qWaitFor([this] { return Running(u"child"_s); }, kHangBoundMs));
  testing::internal::CaptureStderr();
  queue.reset();
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Read(u"finished"_s), "done\n");
  EXPECT_FALSE(Running(u"child"_s));
  EXPECT_NE(said.find("on_new: New-forecast hook for forecast 1: killed after 3 s"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("hook for forecast 2 will not run"), std::string::npos) << said;
}

}  // namespace
}  // namespace skyloom
