#pragma once

#include <QByteArray>
#include <vector>

#include "store/forecast_store.h"

namespace skyloom {

// An Atom 1.0 feed of `newestFirst`: each entry's id made from the forecast's id alone, so that
// every collector of a group and every restart gives the same; its time the stored one, with
// this machine's zone offset.
QByteArray AtomFeed(const std::vector<ForecastRow>& newestFirst);

}  // namespace skyloom
