#include "platform/libpq_library.h"

#include "platform/loaded_library.h"

namespace skyloom {
namespace {

const LoadedLibrary<Libpq>& Load() {
  // libpq5's ABI name.
  static const auto loaded = LoadLibrary<Libpq>(
      "libpq.so.5", QStringLiteral("the PostgreSQL client library"), [](Libpq& pq, auto find) {
#define SKYLOOM_LIBPQ_FIND(name) pq.name = reinterpret_cast<decltype(&::name)>(find(#name));
        SKYLOOM_LIBPQ_FUNCTIONS(SKYLOOM_LIBPQ_FIND)
#undef SKYLOOM_LIBPQ_FIND
      });
  return loaded;
}

}  // namespace

const Libpq* LoadLibpq() {
  const auto& loaded = Load();
  return loaded.complete ? &loaded.functions : nullptr;
}

QString LibpqProblem() { return Load().problem; }

const Libpq& Pq() { return Load().functions; }

}  // namespace skyloom
