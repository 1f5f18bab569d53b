#pragma once

#include <QString>
#include <QTemporaryDir>
#include <QVariant>
#include <vector>

namespace skyloom::test {

struct TqRow {
  qint64 id;
  QString logtime;
  QVariant tqyb;  // null stays null
};

struct TqlogRow {
  QString logtime;
  QString errstat;
  qint64 errnum;
  QString errdes;
};

// A temporary folder for one test's database file, removed afterwards.
class ScratchDb final {
 public:
  ScratchDb();
  QString Path() const;  // <folder>/tqyb.mdb, not created
  QString Folder() const { return dir_.path(); }

  // Runs SQL straight on the file, as another program would.
  void Exec(const QString& sql) const;
  std::vector<TqRow> Tq() const;
  std::vector<TqlogRow> Tqlog() const;

 private:
  QTemporaryDir dir_;
};

}  // namespace skyloom::test
