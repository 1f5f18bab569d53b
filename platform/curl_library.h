#pragma once

#include <curl/curl.h>

#include <QString>

namespace skyloom {

// The libcurl functions this program calls.
// clang-format off
#define SKYLOOM_LIBCURL_FUNCTIONS(X) \
  X(curl_global_init) X(curl_easy_init) X(curl_easy_setopt) X(curl_easy_perform) \
  X(curl_easy_getinfo) X(curl_easy_cleanup) X(curl_easy_strerror) X(curl_slist_append) \
  X(curl_slist_free_all)
// clang-format on

// libcurl, loaded when it is first needed rather than at start. Loading it and the thirty
// libraries it needs (TLS, Kerberos, LDAP, SSH) takes longer than a plain-HTTP fetch whole,
// and a run that never leaves plain HTTP does not need them.
struct Libcurl {
#define SKYLOOM_LIBCURL_POINTER(name) decltype(&::name) name = nullptr;
  SKYLOOM_LIBCURL_FUNCTIONS(SKYLOOM_LIBCURL_POINTER)
#undef SKYLOOM_LIBCURL_POINTER
};

// The library's functions once loaded and set up for the process, else null; loads it at the
// first call.
const Libcurl* LoadLibcurl();
// Why the library could not be loaded.
QString LibcurlProblem();
// The functions of the library already loaded; only for what a loaded one made.
const Libcurl& Curl();

}  // namespace skyloom
