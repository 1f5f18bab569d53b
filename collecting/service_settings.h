#pragma once

#include <QString>

#include "platform/http_get.h"
#include "store/pg_store.h"

namespace skyloom {

// What a running collector needs to know, wherever the values came from.
struct ServiceSettings {
  QString address;           // the page address as the address box starts with it
  QString databaseLocation;  // an SQLite file or a postgresql:// URI
  HttpLimits limits;
  PgLimits databaseLimits;
  QString listen;  // HOST:PORT of the HTTP API; empty: none
  QString onNew;   // shell command run on each new forecast; empty: none
};

}  // namespace skyloom
