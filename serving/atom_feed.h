#pragma once

#include <QByteArray>
#include <vector>

#include "store/event.h"

namespace skyloom {

// An Atom 1.0 feed of the forecasts `newestFirst`: each entry's id is the event's, made from the
// forecast's id alone, so that every collector of a group and every restart gives the same; its
// time the stored one, with this machine's zone offset.
QByteArray AtomFeed(const std::vector<Event>& newestFirst);

}  // namespace skyloom
