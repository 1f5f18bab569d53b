// GET /attempts: the attempt log, newest first.
#include "http/query.h"
#include "serving/api_routes.h"
#include "serving/json_rows.h"

namespace skyloom {

void ApiRoutes::Attempts(const HttpRequest& request, const HttpReply& reply) {
  QueryParameter parameters[] = {{"limit", 1, kMaxLimit, kDefaultLimit}};
  if (auto error = ReadQuery(request.query, parameters)) return reply(Fail(400, *error));
  const auto limit = static_cast<int>(parameters[0].value);
  Read(reply, [limit](ForecastStore& store) {
    const auto rows = store.NewestAttempts(limit);
    if (!rows) return Fail(503, Unreadable(rows.error()));
    return Make(200, kJson, AttemptsJson(*rows).toStdString());
  });
}

}  // namespace skyloom
