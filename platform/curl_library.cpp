#include "platform/curl_library.h"

#include "platform/loaded_library.h"

namespace skyloom {
namespace {

LoadedLibrary<Libcurl> LoadAndSetUp() {
  const QString what = QStringLiteral("the libcurl library");
  // libcurl4's ABI name; never unloaded, as OpenSSL cannot be.
  auto loaded = LoadLibrary<Libcurl>("libcurl.so.4", what, [](Libcurl& curl, auto find) {
#define SKYLOOM_LIBCURL_FIND(name) curl.name = reinterpret_cast<decltype(&::name)>(find(#name));
    SKYLOOM_LIBCURL_FUNCTIONS(SKYLOOM_LIBCURL_FIND)
#undef SKYLOOM_LIBCURL_FIND
  });
  if (!loaded.complete) return loaded;
  // Here, before any thread can use the library: its set-up is not thread-safe.
  const CURLcode setUp = loaded.functions.curl_global_init(CURL_GLOBAL_DEFAULT);
  if (setUp != CURLE_OK) {
    loaded.complete = false;
    loaded.problem = QStringLiteral("%1 could not be set up: %2")
                         .arg(what, QString::fromUtf8(loaded.functions.curl_easy_strerror(setUp)));
  }
  return loaded;
}

const LoadedLibrary<Libcurl>& Load() {
  static const LoadedLibrary<Libcurl> loaded = LoadAndSetUp();
  return loaded;
}

}  // namespace

const Libcurl* LoadLibcurl() {
  const auto& loaded = Load();
  return loaded.complete ? &loaded.functions : nullptr;
}

QString LibcurlProblem() { return Load().problem; }

const Libcurl& Curl() { return Load().functions; }

}  // namespace skyloom
