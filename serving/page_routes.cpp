// The status page at GET /: its HTML, the files it loads and the JSON its script reads; and
// GET /openapi.json, the API's description.
#include <algorithm>

#include "history/slot_grid.h"
#include "http/conditional_get.h"
#include "http/header_fields.h"
#include "http/query.h"
#include "platform/clock.h"
#include "serving/api_routes.h"
#include "serving/json_rows.h"
#include "serving/store_readers.h"

namespace skyloom {
namespace {

// The page's log: a screenful of the newest attempts.
constexpr std::size_t kPageAttempts = 20;
// The page's chart reads the forecasts of the pictured days this many at a time, and at most
// this many in all: beyond that a day of endless changes loses the chart its oldest days.
constexpr int kChartPage = 100;
static_assert(kChartPage == kKeptForecasts, "the kept forecasts are the chart's first page");
constexpr std::size_t kChartForecasts = 1000;

// Newest first: the forecasts stored from `from` on, and always the newest page.
StoreExpected<std::vector<ForecastRow>> ForecastsSince(ForecastStore& store, const QString& from) {
  std::vector<ForecastRow> rows;
  while (rows.size() < kChartForecasts) {
    auto page = store.NewestForecasts(kChartPage, rows.empty() ? 0 : rows.back().id);
    if (!page) return std::unexpected(page.error());
    rows.insert(rows.end(), page->begin(), page->end());
    if (page->size() < static_cast<std::size_t>(kChartPage) || rows.back().logtime < from) break;
  }
  return rows;
}

}  // namespace

// A query is the browser's business (a bookmark, a monitor's cache-buster): the page is the same.
void ApiRoutes::Page(const HttpRequest& request, const HttpReply& reply) {
  const PageFile& html = page_.Html(LanguageFor(JoinedValues(request.headers, "Accept-Language")));
  ServerAnswer answer = PageAnswer(html);
  answer.AddHeader("Content-Language", html.language);
  answer.AddHeader("Vary", "Accept-Language");
  reply(std::move(answer));
}

void ApiRoutes::PageAsset(const HttpRequest& request, const HttpReply& reply) {
  if (auto error = ReadQuery(request.query, {})) return reply(Fail(400, *error));
  const PageFile* file = page_.Asset(request.path.substr(std::string_view("/page/").size()));
  if (!file) return reply(Fail(404, QStringLiteral("no such resource")));
  reply(PageAnswer(*file));
}

void ApiRoutes::Description(const HttpRequest& request, const HttpReply& reply) {
  if (auto error = ReadQuery(request.query, {})) return reply(Fail(400, *error));
  reply(
      Tagged(description_, descriptionTag_, IfNoneMatch(request.headers).Matches(descriptionTag_)));
}

void ApiRoutes::PageStatus(const HttpRequest& request, const HttpReply& reply) {
  if (auto error = ReadQuery(request.query, {})) return reply(Fail(400, *error));
  const QDateTime now = clock_.Now();
  if (const auto served = Current()) {
    StatusRowsFor(served, now, reply,
                  [this, served, reply, now](const std::shared_ptr<const StatusRows>& rows) {
                    reply(StatusAnswer(*served, rows, now));
                  });
    return;
  }
  Read(reply, [this](ForecastStore& store) {
    const QDateTime now = clock_.Now();
    const auto [from, to] = SlotGridRange(now.date(), kSlotPictureDays);
    auto served = std::make_shared<Served>();
    served->record = std::make_shared<const KeptRecord>(
        KeptRecord{0, 0, {}, store.NewestAttempts(kHealthAttempts)});
    auto rows = std::make_shared<StatusRows>();
    rows->chart = ForecastsSince(store, from);
    rows->pictured = store.AttemptsBetween(from, to);
    return StatusAnswer(*served, rows, now);
  });
}

bool ApiRoutes::StatusRowsFor(const std::shared_ptr<Served>& served, const QDateTime& now,
                              const HttpReply& reply,
                              std::function<void(const std::shared_ptr<const StatusRows>&)> then) {
  const std::shared_ptr<const KeptRecord> record = served->record;
  const auto [from, to] = SlotGridRange(now.date(), kSlotPictureDays);
  // The chart's forecasts are the kept ones when a page of them reaches back past its first
  // day, as a read would find.
  const bool chartKept =
      !record->forecasts || record->AllForecasts() || record->forecasts->back().logtime < from;
  const auto fits = [&](const StatusRows& rows) {
    return rows.from == from && rows.forecastsVersion == record->forecastsVersion &&
           rows.logVersion == record->logVersion;
  };
  std::shared_ptr<const StatusRows> before;
  std::shared_ptr<StatusRead> read;
  {
    const std::lock_guard lock(statusMutex_);
    if (statusRows_ && fits(*statusRows_)) {
      before = statusRows_;
    } else if (statusRead_ && statusRead_->from == from &&
               statusRead_->forecastsVersion == record->forecastsVersion &&
               statusRead_->logVersion == record->logVersion) {
      statusRead_->waiting.push_back(std::move(then));
      return true;
    } else {
      read = std::make_shared<StatusRead>(
          StatusRead{from, record->forecastsVersion, record->logVersion, {}});
      read->waiting.push_back(std::move(then));
      statusRead_ = read;
      before = statusRows_;
    }
  }
  if (!read) {
    then(before);
    return true;
  }
  // One read for all who ask meanwhile; a part that did not change is not read again.
  auto rows = std::make_shared<StatusRows>();
  rows->from = from;
  rows->forecastsVersion = record->forecastsVersion;
  rows->logVersion = record->logVersion;
  const bool chartRead = !chartKept && !(before && before->from == from &&
                                         before->forecastsVersion == record->forecastsVersion);
  if (chartKept) {
    rows->chart = record->forecasts;
  } else if (!chartRead) {
    rows->chart = before->chart;
  }
  const bool picturedKept =
      before && before->from == from && before->logVersion == record->logVersion;
  if (picturedKept) rows->pictured = before->pictured;
  const auto finish = [this, read](const std::shared_ptr<const StatusRows>& rows) {
    decltype(read->waiting) waiting;
    {
      const std::lock_guard lock(statusMutex_);
      if (statusRead_ == read) statusRead_.reset();
      waiting.swap(read->waiting);
      if (rows) statusRows_ = rows;
    }
    for (const auto& then : waiting) then(rows);
  };
  if (!chartRead && picturedKept) {
    finish(rows);
    return true;
  }
  const QString until = to;
  if (readers_.Submit([rows, chartRead, picturedKept, from, until, finish](ForecastStore& store) {
        if (chartRead) rows->chart = ForecastsSince(store, from);
        if (!picturedKept) rows->pictured = store.AttemptsBetween(from, until);
        finish(rows);
      })) {
    return true;
  }
  // No reader can take it: everyone who waits for it is told so.
  {
    const std::lock_guard lock(statusMutex_);
    if (statusRead_ == read) statusRead_.reset();
    read->waiting.clear();
  }
  ServerAnswer busy = Fail(503, QStringLiteral("the server is busy; try again in a moment"));
  busy.AddHeader("Retry-After", "1");
  reply(std::move(busy));
  return false;
}

ServerAnswer ApiRoutes::StatusAnswer(Served& served, const std::shared_ptr<const StatusRows>& rows,
                                     const QDateTime& now) const {
  const auto& forecasts = rows->chart;
  if (!forecasts) return Fail(503, Unreadable(forecasts.error()));
  const auto& attempts = served.record->attempts;
  if (!attempts) return Fail(503, Unreadable(attempts.error()));
  const auto& pictured = rows->pictured;
  if (!pictured) return Fail(503, Unreadable(pictured.error()));
  // What the time changes is worked out at every request; the page is made again only when it
  // changed too.
  const HealthReport health = HealthOf(attempts, now);
  const SlotGrid grid = BuildSlotGrid(*pictured, now.date(), kSlotPictureDays, now, schedule_);
  QByteArray time = HealthJson(health);
  time += now.date().toString(Qt::ISODate).toLatin1();
  for (const SlotCell& cell : grid.cells) {
    time += static_cast<char>('a' + static_cast<int>(cell.state));
  }
  {
    const std::lock_guard lock(served.mutex);
    if (served.status && served.statusRows == rows && served.statusTime == time) {
      return *served.status;
    }
  }
  const std::vector<AttemptRow> newest(
      attempts->begin(), attempts->begin() + std::min(attempts->size(), kPageAttempts));
  ServerAnswer answer =
      Make(200, kJson, StatusJson(*forecasts, health, grid, newest).toStdString());
  answer.AddHeader("X-Content-Type-Options", "nosniff");
  answer.AddHeader("Cache-Control", "no-cache");
  const std::lock_guard lock(served.mutex);
  served.statusRows = rows;
  served.statusTime = time;
  served.status = std::make_shared<const ServerAnswer>(answer);
  return answer;
}

}  // namespace skyloom
