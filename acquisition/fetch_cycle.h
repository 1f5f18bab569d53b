#pragma once

#include <QDateTime>
#include <QString>

#include "app/fetch_state.h"

namespace skyloom {

// The address box text (used as it stands), "?rstr=" and a stamp of the current time, so that
// no cache between here and the provider answers with an old page.
QString FetchAddress(const QString& addressBoxText, const QDateTime& now);

// Takes what the page client returned into the fetch state and gives the text the result box
// shows: the error number and description, or the forecast. A page without both markers in
// order leaves the previous forecast.
QString TakePage(FetchState& state, const QString& page);

}  // namespace skyloom
