#include "store/pg_link.h"

#include <poll.h>

#include <QStringList>
#include <QTimeZone>
#include <map>
#include <mutex>

#include "platform/interruption.h"
#include "platform/problem_log.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;

constexpr auto kFirstPause = 500ms;
constexpr auto kLongestPause = 5000ms;

struct Place {
  QString kind;
  QString server;
  bool primary = false;
};

struct Places {
  std::mutex mutex;
  std::map<const PgLink*, Place> connected;
  std::map<QString, qint64> reconnects;  // every kind made so far
};

// Never destroyed: a thread left running at exit may still connect.
Places& AllPlaces() {
  static auto* places = new Places;
  return *places;
}

void Note(const PgLink* link, Place place, bool reconnected) {
  Places& places = AllPlaces();
  const std::lock_guard lock(places.mutex);
  qint64& reconnects = places.reconnects[place.kind];
  if (reconnected) ++reconnects;
  places.connected[link] = std::move(place);
}

void Forget(const PgLink* link) {
  Places& places = AllPlaces();
  const std::lock_guard lock(places.mutex);
  places.connected.erase(link);
}

}  // namespace

DbExpected<void> OpenPgSession(PgConnection& connection, const QString& uri, PgLimits limits,
                               bool readOnly, PgTarget target) {
  auto opened = connection.Open(uri, limits.connect, limits.statement, readOnly, target);
  if (!opened) return opened;
  const QByteArray zone = QTimeZone::systemTimeZoneId();
  if (!zone.isEmpty()) {
    (void)connection.Run("SELECT set_config('TimeZone', $1, false)", {QString::fromLatin1(zone)});
  }
  return opened;
}

std::vector<PgLinkState> PgLinkStates() {
  Places& places = AllPlaces();
  const std::lock_guard lock(places.mutex);
  std::vector<PgLinkState> states;
  for (const auto& [kind, reconnects] : places.reconnects) {
    QStringList servers;
    bool primary = true;
    for (const auto& [link, place] : places.connected) {
      if (place.kind != kind) continue;
      if (!servers.contains(place.server)) servers << place.server;
      primary = primary && place.primary;
    }
    servers.sort();
    states.push_back({kind, servers.join(u','), primary && !servers.isEmpty(), reconnects});
  }
  return states;
}

PgLink::PgLink(QString uri, PgLimits limits, bool reader, const Interruption* interruption)
    : uri_(std::move(uri)),
      limits_(limits),
      reader_(reader),
      target_(reader ? limits.readFrom : PgTarget::Primary),
      interruption_(interruption) {}

PgLink::~PgLink() { Forget(this); }

DbExpected<PgConnection*> PgLink::Session(bool waitOut) {
  if (Healthy()) return connection_.get();
  const auto now = std::chrono::steady_clock::now();
  if (failures_ > 0 && now < nextTry_) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextTry_ - now);
    if (!waitOut) {
      return std::unexpected(DbError{0,
                                     QStringLiteral("no server to connect to; trying again in %1 s")
                                         .arg(left.count() / 1000.0, 0, 'f', 1),
                                     QStringLiteral("08001")});
    }
    pollfd wake{interruption_ ? interruption_->Descriptor() : -1, POLLIN, 0};
    if (::poll(&wake, 1, static_cast<int>(left.count())) > 0 ||
        (interruption_ && interruption_->Raised())) {
      return std::unexpected(
          DbError{0, QStringLiteral("interrupted"), QString::fromLatin1(kPgGivenUp)});
    }
  }
  connection_ = std::make_unique<PgConnection>(interruption_);
  if (auto opened = OpenPgSession(*connection_, uri_, limits_, reader_, target_); !opened) {
    connection_.reset();
    Forget(this);
    const auto pause = std::min<std::chrono::milliseconds>(
        kFirstPause * (1 << std::min(failures_, 4)), kLongestPause);
    ++failures_;
    nextTry_ = std::chrono::steady_clock::now() + pause;
    return std::unexpected(opened.error());
  }
  failures_ = 0;
  const QString server = connection_->Server();
  const bool primary = connection_->OnPrimary();
  const bool reconnected = connectedBefore_;
  Note(this, {QString::fromLatin1(limits_.kind), server, primary}, reconnected);
  if (reconnected) {
    ReportProblem(QStringLiteral("%1: connected again, now to %2 (%3)")
                      .arg(QString::fromLatin1(limits_.kind), server,
                           primary ? QStringLiteral("primary") : QStringLiteral("standby")));
  }
  connectedBefore_ = true;
  return connection_.get();
}

bool PgLink::Check(const DbError& error) {
  if (!PgSessionLost(error) && Healthy()) return false;
  Drop();
  return error.sqlState != QLatin1String(kPgGivenUp) && failures_ == 0;
}

void PgLink::Drop() {
  if (!connection_) return;
  connection_.reset();
  Forget(this);
}

}  // namespace skyloom
