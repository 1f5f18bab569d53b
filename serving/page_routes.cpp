// The status page at GET /: its HTML, the files it loads and the JSON its script reads.
#include <algorithm>

#include "history/slot_grid.h"
#include "http/header_fields.h"
#include "http/query.h"
#include "platform/clock.h"
#include "serving/api_routes.h"
#include "serving/json_rows.h"

namespace skyloom {
namespace {

// The page's log: a screenful of the newest attempts.
constexpr std::size_t kPageAttempts = 20;
// The page's chart reads the forecasts of the pictured days this many at a time, and at most
// this many in all: beyond that a day of endless changes loses the chart its oldest days.
constexpr int kChartPage = 100;
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

void ApiRoutes::PageStatus(const HttpRequest& request, const HttpReply& reply) {
  if (auto error = ReadQuery(request.query, {})) return reply(Fail(400, *error));
  Read(reply, [this](ForecastStore& store) {
    const QDateTime now = clock_.Now();
    const auto [from, to] = SlotGridRange(now.date(), kSlotPictureDays);
    const auto forecasts = ForecastsSince(store, from);
    if (!forecasts) return Fail(503, Unreadable(forecasts.error()));
    const auto attempts = store.NewestAttempts(kHealthAttempts);
    if (!attempts) return Fail(503, Unreadable(attempts.error()));
    const auto pictured = store.AttemptsBetween(from, to);
    if (!pictured) return Fail(503, Unreadable(pictured.error()));
    const std::vector<AttemptRow> newest(
        attempts->begin(), attempts->begin() + std::min(attempts->size(), kPageAttempts));
    ServerAnswer answer = Make(
        200, kJson,
        StatusJson(*forecasts, HealthOf(attempts, now),
                   BuildSlotGrid(*pictured, now.date(), kSlotPictureDays, now, schedule_), newest)
            .toStdString());
    answer.AddHeader("X-Content-Type-Options", "nosniff");
    answer.AddHeader("Cache-Control", "no-cache");
    return answer;
  });
}

}  // namespace skyloom
