#include "app/delivery_commands.h"

#include <QDateTime>
#include <QFileInfo>
#include <QUuid>
#include <algorithm>
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

QString RowLine(const DeliveryRow& row) {
  const QString next = row.state == kDeliveryPending
                           ? LogTimeText(QDateTime::fromSecsSinceEpoch(row.nextTry))
                           : u"-"_s;
  QString text = u"%1\t%2\t%3\t%4\t%5\t%6\t%7\t%8\t%9"_s.arg(row.id)
                     .arg(LogTimeText(QDateTime::fromSecsSinceEpoch(row.created)), row.event,
                          row.eventId, row.channel, row.state)
                     .arg(row.tries)
                     .arg(next, row.lastError);
  if (row.redelivered) {
    text += u"\tsent again %1"_s.arg(LogTimeText(QDateTime::fromSecsSinceEpoch(*row.redelivered)));
  }
  return TerminalText(text) + u'\n';
}

}  // namespace

int RunDeliveries(const CommandLine& line) {
  const std::unique_ptr<ForecastStore> store = OpenForReading(line);
  if (!store) return kNothingStored;
  const auto rows = store->NewestDeliveries(line.count, line.deliveries);
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
  for (const DeliveryRow& row : *rows) text += RowLine(row);
  Print(text);
  return 0;
}

int RunRedeliver(const CommandLine& line) {
  Redelivery which{{}, false, line.deliveries.channel};
  for (const QString& id : line.redeliver) {
    if (id == u"given-up"_s) {
      which.givenUp = true;
    } else {
      which.ids << id;
    }
  }
  const std::unique_ptr<ForecastStore> store = OpenForReading(line, StoreAccess::ReadWrite);
  if (!store) return kNothingStored;
  const auto rows = store->Redeliver(which, QDateTime::currentSecsSinceEpoch());
  if (!rows) {
    std::fprintf(stderr, "skyloom: %s\n", rows.error().message.toUtf8().constData());
    return 1;
  }
  if (rows->empty()) {
    std::fputs("skyloom: no outbox row matched; nothing was changed\n", stderr);
    return kNothingStored;
  }
  QString text;
  QStringList strangers;
  for (const DeliveryRow& row : *rows) {
    text += RowLine(row);
    const bool known = std::ranges::any_of(
        line.service.channels, [&row](const NotifyChannel& c) { return c.name == row.channel; });
    if (!known && !strangers.contains(row.channel)) strangers << row.channel;
  }
  Print(text);
  // A collector sends only the rows of its own channels.
  for (const QString& channel : strangers) {
    std::fprintf(stderr,
                 "skyloom: %s is not among these settings' channels: only a collector that has "
                 "it sends its rows\n",
                 channel.toUtf8().constData());
  }
  return 0;
}

int RunPreviewNotify(const CommandLine& line) {
  if (line.service.channels.empty()) {
    std::fputs("skyloom: no channel to preview: add a notify line or --notify\n", stderr);
    return 1;
  }
  const std::unique_ptr<ForecastStore> store = OpenForReading(line);
  if (!store) return kNothingStored;
  // The forecast and the one stored before it, which its messages compare it with.
  const auto rows = store->NewestForecasts(2, line.forecastId ? *line.forecastId + 1 : 0);
  if (!rows) {
    std::fprintf(stderr, "skyloom: %s\n", rows.error().message.toUtf8().constData());
    return 1;
  }
  if (rows->empty() || (line.forecastId && rows->front().id != *line.forecastId)) {
    std::fputs(
        line.forecastId ? "skyloom: no forecast has that id\n" : "skyloom: nothing stored yet\n",
        stderr);
    return kNothingStored;
  }
  const ForecastRow& forecast = rows->front();
  std::optional<PreviousForecast> previous;
  if (rows->size() > 1 && (*rows)[1].text) {
    previous = PreviousForecast{(*rows)[1].id, (*rows)[1].logtime, *(*rows)[1].text};
  }
  Event event = NewForecastEvent(forecast.id, forecast.logtime, forecast.text.value_or(QString()),
                                 std::move(previous));
  event.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
  const QDateTime now = QDateTime::currentDateTime();
  QString text;
  for (const NotifyChannel& channel : line.service.channels) {
    const ChannelRequest request = BuildRequest(channel, event, now);
    text += u"== %1\nPOST %2\n"_s.arg(channel.name, MaskSecrets(channel, request.url));
    for (const auto& [name, value] : request.headers) {
      text += MaskSecrets(channel, QString::fromUtf8(name + ": " + value)) + u'\n';
    }
    text += u'\n' + MaskSecrets(channel, QString::fromUtf8(request.body)) + u"\n\n"_s;
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
