#pragma once

#include <curl/curl.h>

#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>
#include <optional>

#include "platform/http_get.h"

namespace skyloom {

// How a plain-HTTP GET ended. Failures carry the code and the words libcurl gives the same
// failure, so a log reads alike whichever way the page came.
struct PlainGetOutcome {
  CURLcode code = CURLE_OK;
  QString detail;
  bool overflowed = false;  // the body grew past its limit
  QByteArray body;
  int status = 0;  // of the last answer
  // A redirect to an address only libcurl fetches (https), with the redirects still allowed.
  QByteArray handOver;
  int redirectsLeft = 0;
};

// Whether the address is one the plain client fetches itself: http, written as QUrl writes
// it, without credentials or an IPv6 literal, and no proxy set in the environment. The rest,
// and https, go to libcurl.
bool PlainHttpFetches(const QByteArray& address);

// A GET over a socket of its own, following at most `redirects` redirects; `deadline` bounds
// the whole, `limits.connect` each name lookup and connection.
PlainGetOutcome PlainHttpGet(const QByteArray& address, const HttpLimits& limits,
                             std::chrono::steady_clock::time_point deadline, int redirects,
                             const std::atomic<bool>* cancel);

// libcurl's text for the codes the plain client gives, without loading libcurl.
QString PlainCodeText(CURLcode code);

}  // namespace skyloom
