#include "platform/curl_library.h"

#include <dlfcn.h>

#include <QStringList>

namespace skyloom {
namespace {

struct Loaded {
  Libcurl functions;
  bool complete = false;
  QString problem;
};

const Loaded& Load() {
  static const Loaded loaded = [] {
    Loaded result;
    // The name of the library's ABI, as libcurl4 installs it; never unloaded, as OpenSSL
    // cannot be.
    void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      result.problem = QStringLiteral("the libcurl library could not be loaded: %1")
                           .arg(QString::fromLocal8Bit(::dlerror()));
      return result;
    }
    QStringList missing;
#define SKYLOOM_LIBCURL_FIND(name)                                                      \
  result.functions.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name)); \
  if (!result.functions.name) missing << QStringLiteral(#name);
    SKYLOOM_LIBCURL_FUNCTIONS(SKYLOOM_LIBCURL_FIND)
#undef SKYLOOM_LIBCURL_FIND
    if (!missing.isEmpty()) {
      result.problem = QStringLiteral("the libcurl library lacks %1: it is too old")
                           .arg(missing.join(QStringLiteral(", ")));
      return result;
    }
    // Before any other thread can use it: the set-up is not thread-safe.
    const CURLcode setUp = result.functions.curl_global_init(CURL_GLOBAL_DEFAULT);
    if (setUp != CURLE_OK) {
      result.problem = QStringLiteral("the libcurl library could not be set up: %1")
                           .arg(QString::fromUtf8(result.functions.curl_easy_strerror(setUp)));
      return result;
    }
    result.complete = true;
    return result;
  }();
  return loaded;
}

}  // namespace

const Libcurl* LoadLibcurl() {
  const Loaded& loaded = Load();
  return loaded.complete ? &loaded.functions : nullptr;
}

QString LibcurlProblem() { return Load().problem; }

const Libcurl& Curl() { return Load().functions; }

}  // namespace skyloom
