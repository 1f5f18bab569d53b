#include "app/delivery_commands.h"

#include <QDateTime>
#include <QFileInfo>
#include <QUuid>
#include <cstdio>

#include "app/read_commands.h"
#include "app/terminal_text.h"
#include "delivery/channel.h"
#include "delivery/message_text.h"
#include "platform/clock.h"
#include "platform/http_post.h"
#include "serving/json_rows.h"
#include "store/open_store.h"

namespace skyloom {

using namespace Qt::StringLiterals;

namespace {

void Print(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
  std::fflush(stdout);
}

}  // namespace

int RunDeliveries(const CommandLine& line) {
  const std::unique_ptr<ForecastStore> store = OpenForReading(line);
  if (!store) return kNothingStored;
  const auto rows = store->NewestDeliveries(line.count);
  if (!rows) {
    std::fprintf(stderr, "skyloom: %s\n", rows.error().message.toUtf8().constData());
    return 1;
  }
  if (rows->empty()) {
    std::fputs("skyloom: no deliveries yet\n", stderr);
    return kNothingStored;
  }
  if (line.json) {
    Print(QString::fromUtf8(DeliveriesJson(*rows)) + u'\n');
    return 0;
  }
  QString text;
  for (const DeliveryRow& row : *rows) {
    const QString next = row.state == kDeliveryPending
                             ? LogTimeText(QDateTime::fromSecsSinceEpoch(row.nextTry))
                             : u"-"_s;
    text += TerminalText(u"%1\t%2\t%3\t%4\t%5\t%6\t%7\t%8\t%9"_s.arg(row.id)
                             .arg(LogTimeText(QDateTime::fromSecsSinceEpoch(row.created)),
                                  row.event, row.eventId, row.channel, row.state)
                             .arg(row.tries)
                             .arg(next, row.lastError)) +
            u'\n';
  }
  Print(text);
  return 0;
}

int RunTestNotify(const CommandLine& line) {
  if (line.service.channels.empty()) {
    std::fputs("skyloom: no channel to test: add a notify line or --notify\n", stderr);
    return 1;
  }
  const QDateTime now = QDateTime::currentDateTime();
  const Event event{.kind = EventKind::Test,
                    .id = QUuid::createUuid().toString(QUuid::WithoutBraces),
                    .logtime = LogTimeText(now),
                    .text = u"Skyloom 的测试消息：这个频道能收到通知。"_s};
  bool allTaken = true;
  for (const NotifyChannel& channel : line.service.channels) {
    const ChannelRequest request = BuildRequest(channel, event, now);
    const ClientAnswer answer = HttpPost(request.url, request.body, request.headers, {});
    const Verdict verdict = JudgeAnswer(channel, answer);
    const bool taken = verdict.kind == Verdict::Kind::Delivered;
    allTaken = allTaken && taken;
    QString text = u"%1: %2"_s.arg(channel.name, taken ? u"delivered"_s : verdict.error);
    if (answer.status != 0) text += u" (HTTP status %1)"_s.arg(answer.status);
    text += u'\n';
    if (!answer.body.isEmpty()) {
      text += u"  "_s + TerminalText(CutToBytes(QString::fromUtf8(answer.body), 500)) + u'\n';
    }
    Print(text);
  }
  return allTaken ? 0 : 1;
}

}  // namespace skyloom
