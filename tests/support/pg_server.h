#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace skyloom::test {

// A private PostgreSQL server on 127.0.0.1 with a free port, its data in a temporary folder
// that goes with the object. The superuser `skyloom` logs in with Password() over TCP, and
// the database `skyloom` exists. Throws with the server's own words when it cannot start.
class PgServer final {
 public:
  PgServer();
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  QString Uri(const QString& database = QStringLiteral("skyloom")) const;
  QString Password() const { return password_; }
  int Port() const { return port_; }

  void CreateDatabase(const QString& name) const;
  // Runs SQL as another session would and returns what it printed, unaligned; throws on error.
  QString Psql(const QString& sql, const QString& database = QStringLiteral("skyloom")) const;

  // Stop kills the server at once, as a crash would; Start brings it back on the same port.
  void Stop();
  void Start();
  // Stops every process of the server where it stands (SIGSTOP), as a frozen machine would,
  // or lets them go on (SIGCONT). Connections stay open and get no answer meanwhile.
  void Freeze(bool frozen);

 private:
  QString Tool(const QString& name) const;
  // Runs a server tool as the user that owns the data folder; throws when it fails.
  QString RunAsOwner(const QString& tool, const QStringList& arguments) const;

  QString binaries_;
  QTemporaryDir folder_;
  QString password_;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace skyloom::test
