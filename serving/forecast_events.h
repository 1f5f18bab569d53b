#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/http_server.h"
#include "store/forecast_store.h"

namespace skyloom {

// What the metrics tell of the readers who wait.
struct EventCounts {
  std::size_t streams = 0;
  quint64 eventsSent = 0;
  std::size_t waiting = 0;
};

// Who waits for the next forecast: event streams and long polls. The store's watcher says what
// is new; each stream gets every forecast it has not had, in order, and each poll its answer.
// From any thread.
class ForecastEvents final {
 public:
  using Token = std::uint64_t;
  // The newest forecast known, if any, and whether it is newer than the one waited for.
  using Answer = std::function<void(const std::optional<ForecastRow>& newest, bool newer)>;

  explicit ForecastEvents(std::size_t maxStreams) : maxStreams_(maxStreams) {}
  Q_DISABLE_COPY_MOVE(ForecastEvents)

  // The newest forecast in the store, and what came before it unseen, oldest first.
  void Publish(const std::vector<ForecastRow>& oldestFirst);
  // Sent to every stream when it differs from the last sent.
  void PublishHealth(const QByteArray& json);

  // A place for a stream; 0 when all are taken or the events have stopped.
  Token Reserve();
  // The stream for `token`, which has had every forecast up to `sentUpTo`. It gets nothing
  // live until Ready, so that what it missed comes first.
  void Attach(Token token, HttpStream stream, qint64 sentUpTo);
  // Sends `missed` (oldest first) and what has come since, then everything live.
  void Ready(Token token, const std::vector<ForecastRow>& missed);
  void Leave(Token token);

  // Answers at once when a forecast newer than `after` is known; otherwise when one comes, or
  // through Expire, or at Stop. The token to expire with; 0 when answered already.
  Token Wait(qint64 after, Answer answer);
  void Expire(Token token);

  // Ends every stream and answers every wait.
  void Stop();
  EventCounts Counts() const;

 private:
  struct Reader {
    HttpStream stream;
    qint64 sentUpTo = 0;
    bool ready = false;
  };
  struct Waiter {
    qint64 after;
    Answer answer;
  };

  // Sends what `reader` has not had of `rows`; with the lock held.
  void SendNew(Reader& reader, const std::vector<ForecastRow>& rows);

  const std::size_t maxStreams_;
  mutable std::mutex mutex_;
  bool stopped_ = false;
  Token next_ = 1;
  // What came lately, oldest first, for streams that join while their backlog is read.
  std::vector<ForecastRow> recent_;
  std::map<Token, Reader> readers_;
  std::map<Token, Waiter> waiters_;
  std::string health_;
  quint64 eventsSent_ = 0;
};

}  // namespace skyloom
