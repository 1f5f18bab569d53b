#pragma once

#include <libpq-fe.h>

#include <QString>

namespace skyloom {

// The libpq functions this program calls.
// clang-format off
#define SKYLOOM_LIBPQ_FUNCTIONS(X) \
  X(PQcancel) X(PQclear) X(PQconnectPoll) X(PQconnectStartParams) X(PQconninfo) \
  X(PQconninfoFree) X(PQconninfoParse) X(PQconsumeInput) X(PQerrorMessage) X(PQfinish) \
  X(PQflush) X(PQfreeCancel) X(PQfreemem) X(PQgetCancel) X(PQgetResult) X(PQgetisnull) \
  X(PQgetlength) X(PQgetvalue) X(PQhost) X(PQisBusy) X(PQnfields) X(PQnotifies) X(PQntuples) \
  X(PQparameterStatus) X(PQpass) X(PQport) X(PQresStatus) X(PQresultErrorField) \
  X(PQresultErrorMessage) X(PQresultStatus) X(PQsendQuery) X(PQsendQueryParams) \
  X(PQsetNoticeProcessor) X(PQsetnonblocking) X(PQsocket) X(PQstatus)
// clang-format on

// libpq, loaded when a PostgreSQL server is first used rather than at start: a program on an
// SQLite file never loads it or the libraries it needs, and runs where it is not installed.
struct Libpq {
#define SKYLOOM_LIBPQ_POINTER(name) decltype(&::name) name = nullptr;
  SKYLOOM_LIBPQ_FUNCTIONS(SKYLOOM_LIBPQ_POINTER)
#undef SKYLOOM_LIBPQ_POINTER
};

// The library's functions once loaded, else null; loads it at the first call.
const Libpq* LoadLibpq();
// Why the library could not be loaded.
QString LibpqProblem();
// The functions of the library already loaded; only for what a loaded one made.
const Libpq& Pq();

}  // namespace skyloom
