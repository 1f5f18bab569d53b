#pragma once

#include <QString>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/pg_connection.h"

namespace skyloom {

// A hung or locked server must never stall the schedule. `readFrom` sends a reader to a
// standby; writers always go to the primary. `kind` names the connection in the log,
// /health and /metrics.
struct PgLimits {
  std::chrono::milliseconds connect{10'000};
  std::chrono::milliseconds statement{30'000};
  PgTarget readFrom = PgTarget::Primary;
  const char* kind = "collector";
};

// Opens a session in the collector's time zone, the one logtime is written and read in,
// whatever zone a shared server keeps. A zone the server does not know leaves its own.
DbExpected<void> OpenPgSession(PgConnection& connection, const QString& uri, PgLimits limits,
                               bool readOnly = false, PgTarget target = PgTarget::Primary);

// Where the connections of one kind are, for /health and /metrics.
struct PgLinkState {
  QString kind;
  QString server;        // host:port of each server they are on, comma-separated; empty: none is
  bool primary = false;  // every one of them is on a primary
  qint64 reconnects = 0;
};
std::vector<PgLinkState> PgLinkStates();

// One session kept to a server and made again through the address list when it broke: at
// once the first time, then no sooner than 0.5 s, doubling up to 5 s, after each failed try.
// Every connection to a server goes through one, so each comes back on a new primary alike.
class PgLink final {
 public:
  PgLink(QString uri, PgLimits limits, bool reader, const Interruption* interruption = nullptr);
  ~PgLink();
  Q_DISABLE_COPY_MOVE(PgLink)

  // The session, made again when there is none. While the backoff runs, waits it out first
  // (at most 5 s; an interruption ends the wait) or, without `waitOut`, is refused at once.
  DbExpected<PgConnection*> Session(bool waitOut = true);
  // The kept session, healthy or not; null when there is none.
  PgConnection* Current() const { return connection_.get(); }
  bool Healthy() const { return connection_ && connection_->Healthy(); }
  // Ends the session after `error` when it shows the session is of no more use; true when
  // a new one may be tried at once (not after a server that did not answer in time).
  bool Check(const DbError& error);
  void Drop();

 private:
  QString uri_;
  PgLimits limits_;
  bool reader_;
  PgTarget target_;
  const Interruption* interruption_;
  std::unique_ptr<PgConnection> connection_;
  bool connectedBefore_ = false;
  int failures_ = 0;
  std::chrono::steady_clock::time_point nextTry_{};
};

}  // namespace skyloom
