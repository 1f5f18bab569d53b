// GET /attempts: the attempt log, newest first.
#include "http/query.h"
#include "serving/api_routes.h"
#include "serving/json_rows.h"

namespace skyloom {
namespace {

ServerAnswer AttemptsPage(const StoreExpected<std::vector<AttemptRow>>& rows, std::size_t most) {
  if (!rows) return Fail(503, Unreadable(rows.error()));
  if (rows->size() <= most) return Make(200, kJson, AttemptsJson(*rows).toStdString());
  return Make(
      200, kJson,
      AttemptsJson(std::vector<AttemptRow>(rows->begin(), rows->begin() + most)).toStdString());
}

}  // namespace

void ApiRoutes::Attempts(const HttpRequest& request, const HttpReply& reply) {
  QueryParameter parameters[] = {{"limit", 1, kMaxLimit, kDefaultLimit}};
  if (auto error = ReadQuery(request.query, parameters)) return reply(Fail(400, *error));
  const auto limit = static_cast<int>(parameters[0].value);
  // Every page there is starts from the newest, and the record in memory holds the longest.
  if (const auto served = Current()) {
    const KeptRecord& record = *served->record;
    if (!record.attempts || record.AllAttempts() ||
        record.attempts->size() >= static_cast<std::size_t>(limit)) {
      return reply(*Once(*served, served->attemptPages, limit, [&] {
        return AttemptsPage(record.attempts, static_cast<std::size_t>(limit));
      }));
    }
  }
  Read(reply, [limit](ForecastStore& store) {
    return AttemptsPage(store.NewestAttempts(limit), static_cast<std::size_t>(limit));
  });
}

}  // namespace skyloom
