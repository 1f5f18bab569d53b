#include "acquisition/fetch_cycle.h"

#include "acquisition/forecast_text.h"
#include "platform/clock.h"

namespace skyloom {

QString FetchAddress(const QString& addressBoxText, const QDateTime& now) {
  QString stamp = NowText(now);
  stamp.remove(QLatin1Char(' ')).remove(QLatin1Char(':')).remove(QLatin1Char('-'));
  return addressBoxText + QStringLiteral("?rstr=") + stamp;
}

QString TakePage(FetchState& state, const QString& page) {
  state.FetchErrNum = state.Web->ErrNum();
  state.FetchErrDes = state.Web->ErrDes();
  if (state.FetchErrNum != 0) {
    state.ForecastText = kErrorText;
    return QString::number(state.FetchErrNum) + QStringLiteral("\r\n") + state.FetchErrDes;
  }
  if (auto forecast = ExtractForecast(page)) state.ForecastText = *std::move(forecast);
  return state.ForecastText;
}

}  // namespace skyloom
