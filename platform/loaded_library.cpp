#include "platform/loaded_library.h"

#include <dlfcn.h>

namespace skyloom {

void* OpenLibrary(const char* soname, const QString& what, QString& problem) {
  void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    problem =
        QStringLiteral("%1 could not be loaded: %2").arg(what, QString::fromLocal8Bit(::dlerror()));
  }
  return library;
}

void* FindFunction(void* library, const char* name, QStringList& missing) {
  void* function = ::dlsym(library, name);
  if (!function) missing << QString::fromLatin1(name);
  return function;
}

QString MissingFunctions(const QString& what, const QStringList& missing) {
  return QStringLiteral("%1 lacks %2: it is too old").arg(what, missing.join(QStringLiteral(", ")));
}

}  // namespace skyloom
