#pragma once

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <vector>

namespace skyloom::test {

// A private PostgreSQL server on 127.0.0.1 with a free port, its data in a temporary folder
// that goes with the object. The superuser `skyloom` logs in with Password() over TCP, and
// the database `skyloom` exists. Throws with the server's own words when it cannot start.
class PgServer final {
 public:
  PgServer();
  // A streaming standby of `primary` (pg_basebackup -R), with the same superuser.
  struct StandbyOf {
    const PgServer& primary;
  };
  explicit PgServer(StandbyOf standby);
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
  // A standby becomes a primary.
  void Promote();
  // Freeze stops every process of the server (SIGSTOP), as a hung machine leaves its
  // connections open and silent; Thaw lets them go on.
  void Freeze();
  void Thaw();

 private:
  QString Tool(const QString& name) const;
  // Runs a server tool as the user that owns the data folder; throws when it fails.
  QString RunAsOwner(const QString& tool, const QStringList& arguments) const;
  // The server's main process and its children.
  std::vector<pid_t> Processes() const;

  QString binaries_;
  QTemporaryDir folder_;
  QString password_;
  int port_ = 0;
  bool running_ = false;
  bool frozen_ = false;
};

}  // namespace skyloom::test
