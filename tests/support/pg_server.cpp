#include "support/pg_server.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUuid>
#include <QVersionNumber>
#include <algorithm>
#include <csignal>
#include <stdexcept>
#include <vector>

#include "support/loopback_socket.h"

namespace skyloom::test {
namespace {

constexpr int kToolBoundMs = 60'000;
constexpr char kSuperuser[] = "skyloom";
// The server refuses to run as root; Debian's package makes this user for it.
constexpr char kServerUser[] = "postgres";

bool AsRoot() { return ::geteuid() == 0; }

QString NewestBinaries() {
  const QDir root(QStringLiteral("/usr/lib/postgresql"));
  QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  std::sort(versions.begin(), versions.end(), [](const QString& a, const QString& b) {
    return QVersionNumber::fromString(a) > QVersionNumber::fromString(b);
  });
  for (const QString& version : versions) {
    const QString bin = root.filePath(version + QStringLiteral("/bin"));
    if (QFile::exists(bin + QStringLiteral("/initdb"))) return bin;
  }
  throw std::runtime_error(
      "no PostgreSQL server under /usr/lib/postgresql: install the postgresql package");
}

void GiveToServerUser(const QString& path) {
  if (!AsRoot()) return;
  const passwd* user = ::getpwnam(kServerUser);
  if (!user) {
    throw std::runtime_error(
        "running as root needs the postgres user, which the postgresql "
        "package creates");
  }
  if (::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) != 0) {
    throw std::runtime_error("cannot hand " + path.toStdString() + " to the postgres user");
  }
}

QString Finish(QProcess& process, const QString& what) {
  process.start();
  const bool finished = process.waitForFinished(kToolBoundMs);
  if (!finished) {
    process.kill();
    process.waitForFinished();
  }
  const QString output = QString::fromUtf8(process.readAllStandardOutput());
  if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
    return output;
  }
  const QString reason = !finished ? QStringLiteral("did not finish in time")
                         : process.error() == QProcess::FailedToStart
                             ? QStringLiteral("could not start: ") + process.errorString()
                             : QStringLiteral("failed");
  throw std::runtime_error(
      QStringLiteral("%1 %2\n%3%4")
          .arg(what, reason, output, QString::fromUtf8(process.readAllStandardError()))
          .toStdString());
}

}  // namespace

PgServer::PgServer()
    : binaries_(NewestBinaries()),
      // Under /tmp, not TMPDIR: the postgres user must reach it, and socket paths are short.
      folder_(QStringLiteral("/tmp/skyloom-pg-XXXXXX")),
      password_(QUuid::createUuid().toString(QUuid::Id128)) {
  if (!folder_.isValid()) throw std::runtime_error("cannot make a folder for PostgreSQL");
  GiveToServerUser(folder_.path());
  const QString passwordFile = folder_.filePath(QStringLiteral("password"));
  QFile file(passwordFile);
  if (!file.open(QIODevice::WriteOnly) || file.write(password_.toUtf8()) < 0) {
    throw std::runtime_error("cannot write the password file");
  }
  file.close();
  GiveToServerUser(passwordFile);
  RunAsOwner(QStringLiteral("initdb"),
             {QStringLiteral("-D"), folder_.filePath(QStringLiteral("data")), QStringLiteral("-U"),
              kSuperuser, QStringLiteral("--auth=scram-sha-256"),
              QStringLiteral("--pwfile=") + passwordFile, QStringLiteral("-E"),
              QStringLiteral("UTF8"), QStringLiteral("--no-locale"), QStringLiteral("--no-sync")});
  QFile::remove(passwordFile);

  ::close(BindLoopback(port_));
  QFile config(folder_.filePath(QStringLiteral("data/postgresql.conf")));
  if (!config.open(QIODevice::Append)) throw std::runtime_error("cannot extend postgresql.conf");
  // A throwaway server: speed matters more than surviving a power cut.
  config.write(QStringLiteral("listen_addresses = '127.0.0.1'\n"
                              "port = %1\n"
                              "unix_socket_directories = '%2'\n"
                              "fsync = off\n"
                              "max_connections = 20\n"
                              "shared_buffers = 16MB\n"
                              // A shared server keeps a zone of its own, whatever the
                              // collectors' zone is.
                              "timezone = 'UTC'\n")
                   .arg(port_)
                   .arg(folder_.path())
                   .toUtf8());
  config.close();
  Start();
  CreateDatabase(QStringLiteral("skyloom"));
}

PgServer::PgServer(StandbyOf standby)
    : binaries_(standby.primary.binaries_),
      folder_(QStringLiteral("/tmp/skyloom-pg-XXXXXX")),
      password_(standby.primary.password_) {
  if (!folder_.isValid()) throw std::runtime_error("cannot make a folder for PostgreSQL");
  GiveToServerUser(folder_.path());
  RunAsOwner(QStringLiteral("pg_basebackup"),
             {QStringLiteral("-d"), standby.primary.Uri(QStringLiteral("postgres")),
              QStringLiteral("-D"), folder_.filePath(QStringLiteral("data")), QStringLiteral("-R"),
              QStringLiteral("-c"), QStringLiteral("fast"), QStringLiteral("-X"),
              QStringLiteral("stream"), QStringLiteral("--no-sync")});
  ::close(BindLoopback(port_));
  QFile config(folder_.filePath(QStringLiteral("data/postgresql.conf")));
  if (!config.open(QIODevice::Append)) throw std::runtime_error("cannot extend postgresql.conf");
  config.write(QStringLiteral("port = %1\nunix_socket_directories = '%2'\n")
                   .arg(port_)
                   .arg(folder_.path())
                   .toUtf8());
  config.close();
  Start();
}

void PgServer::Promote() {
  RunAsOwner(QStringLiteral("pg_ctl"),
             {QStringLiteral("promote"), QStringLiteral("-D"),
              folder_.filePath(QStringLiteral("data")), QStringLiteral("-w")});
}

PgServer::~PgServer() {
  try {
    if (running_) Stop();
  } catch (const std::exception&) {
    // Nothing more to do from a destructor; the folder goes regardless.
  }
}

QString PgServer::Uri(const QString& database) const {
  return QStringLiteral("postgresql://%1:%2@127.0.0.1:%3/%4")
      .arg(QLatin1String(kSuperuser), password_)
      .arg(port_)
      .arg(database);
}

void PgServer::CreateDatabase(const QString& name) const {
  Psql(QStringLiteral("CREATE DATABASE \"%1\"").arg(name), QStringLiteral("postgres"));
}

QString PgServer::Psql(const QString& sql, const QString& database) const {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("PGPASSWORD"), password_);
  environment.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QStringLiteral("10"));
  // Otherwise psql picks the encoding from the locale, which may not be UTF-8.
  environment.insert(QStringLiteral("PGCLIENTENCODING"), QStringLiteral("UTF8"));
  process.setProcessEnvironment(environment);
  process.setProgram(Tool(QStringLiteral("psql")));
  process.setArguments({QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"),
                        QStringLiteral("-t"), QStringLiteral("-v"),
                        QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"),
                        QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(port_),
                        QStringLiteral("-U"), kSuperuser, QStringLiteral("-d"), database,
                        QStringLiteral("-c"), sql});
  return Finish(process, QStringLiteral("psql")).trimmed();
}

void PgServer::Stop() {
  Thaw();
  RunAsOwner(
      QStringLiteral("pg_ctl"),
      {QStringLiteral("stop"), QStringLiteral("-D"), folder_.filePath(QStringLiteral("data")),
       QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w")});
  running_ = false;
}

void PgServer::Start() {
  const QString log = folder_.filePath(QStringLiteral("server.log"));
  try {
    RunAsOwner(QStringLiteral("pg_ctl"),
               {QStringLiteral("start"), QStringLiteral("-D"),
                folder_.filePath(QStringLiteral("data")), QStringLiteral("-l"), log,
                QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("30")});
  } catch (const std::runtime_error& error) {
    QFile file(log);
    const QByteArray tail = file.open(QIODevice::ReadOnly) ? file.readAll().right(2000) : "";
    throw std::runtime_error(std::string(error.what()) + "\nserver log:\n" + tail.toStdString());
  }
  running_ = true;
}

std::vector<pid_t> PgServer::Processes() const {
  QFile pidFile(folder_.filePath(QStringLiteral("data/postmaster.pid")));
  if (!pidFile.open(QIODevice::ReadOnly)) throw std::runtime_error("the server is not running");
  const pid_t main = pidFile.readLine().trimmed().toInt();
  std::vector<pid_t> processes{main};
  for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
    if (entry.toInt() <= 0 || !stat.open(QIODevice::ReadOnly)) continue;
    // pid (name) state ppid …, where the name may hold blanks and parentheses.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() > 1 && fields[1].toInt() == main) processes.push_back(entry.toInt());
  }
  return processes;
}

void PgServer::Freeze() {
  // The main process first, so that it starts no child that would miss the signal.
  const pid_t main = Processes().front();
  ::kill(main, SIGSTOP);
  frozen_ = true;
  for (const pid_t process : Processes()) ::kill(process, SIGSTOP);
}

void PgServer::Thaw() {
  if (!frozen_) return;
  for (const pid_t process : Processes()) ::kill(process, SIGCONT);
  frozen_ = false;
}

QString PgServer::Tool(const QString& name) const { return binaries_ + u'/' + name; }

QString PgServer::RunAsOwner(const QString& tool, const QStringList& arguments) const {
  QProcess process;
  process.setWorkingDirectory(folder_.path());
  if (AsRoot()) {
    process.setProgram(QStringLiteral("setpriv"));
    process.setArguments(QStringList{QStringLiteral("--reuid=") + kServerUser,
                                     QStringLiteral("--regid=") + kServerUser,
                                     QStringLiteral("--clear-groups"), QStringLiteral("--"),
                                     Tool(tool)} +
                         arguments);
  } else {
    process.setProgram(Tool(tool));
    process.setArguments(arguments);
  }
  return Finish(process, tool);
}

}  // namespace skyloom::test
