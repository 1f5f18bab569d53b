#include "platform/libpq_library.h"

#include <dlfcn.h>

#include <QStringList>

namespace skyloom {
namespace {

struct Loaded {
  Libpq functions;
  bool complete = false;
  QString problem;
};

const Loaded& Load() {
  static const Loaded loaded = [] {
    Loaded result;
    // The name of the library's ABI, as libpq5 installs it; never unloaded.
    void* library = ::dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      result.problem = QStringLiteral("the PostgreSQL client library could not be loaded: %1")
                           .arg(QString::fromLocal8Bit(::dlerror()));
      return result;
    }
    QStringList missing;
#define SKYLOOM_LIBPQ_FIND(name)                                                        \
  result.functions.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name)); \
  if (!result.functions.name) missing << QStringLiteral(#name);
    SKYLOOM_LIBPQ_FUNCTIONS(SKYLOOM_LIBPQ_FIND)
#undef SKYLOOM_LIBPQ_FIND
    result.complete = missing.isEmpty();
    if (!result.complete) {
      result.problem = QStringLiteral("the PostgreSQL client library lacks %1: it is too old")
                           .arg(missing.join(QStringLiteral(", ")));
    }
    return result;
  }();
  return loaded;
}

}  // namespace

const Libpq* LoadLibpq() {
  const Loaded& loaded = Load();
  return loaded.complete ? &loaded.functions : nullptr;
}

QString LibpqProblem() { return Load().problem; }

const Libpq& Pq() { return Load().functions; }

}  // namespace skyloom
