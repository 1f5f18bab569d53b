#pragma once

#include <QString>
#include <QStringList>

namespace skyloom {

// A library opened with dlopen when first needed, and its table of functions.
template <typename Functions>
struct LoadedLibrary {
  Functions functions;
  bool complete = false;
  QString problem;  // why the library or one of its functions is missing
};

// The steps of LoadLibrary.
void* OpenLibrary(const char* soname, const QString& what, QString& problem);
void* FindFunction(void* library, const char* name, QStringList& missing);
QString MissingFunctions(const QString& what, const QStringList& missing);

// Opens the library by the name of its ABI for the rest of the process, so that its functions
// stay valid, and fills the table: `fill(functions, find)` calls `find("name")` for each one.
// `what` names the library in problems ("the PostgreSQL client library").
template <typename Functions, typename Fill>
LoadedLibrary<Functions> LoadLibrary(const char* soname, const QString& what, Fill fill) {
  LoadedLibrary<Functions> loaded;
  void* library = OpenLibrary(soname, what, loaded.problem);
  if (!library) return loaded;
  QStringList missing;
  fill(loaded.functions, [&](const char* name) { return FindFunction(library, name, missing); });
  loaded.complete = missing.isEmpty();
  if (!loaded.complete) loaded.problem = MissingFunctions(what, missing);
  return loaded;
}

}  // namespace skyloom
