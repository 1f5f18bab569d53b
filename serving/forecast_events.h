#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
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

// Who waits for the next forecast: event streams and long polls. The store's watcher hands on
// the newest forecasts; each stream gets every forecast it has not had, in order, and each
// poll its answer. From any thread.
class ForecastEvents final {
 public:
  using Token = std::uint64_t;
  using Rows = std::vector<ForecastRow>;
  // The newest forecast known, if any, and whether it is newer than the one waited for.
  using Answer = std::function<void(const std::optional<ForecastRow>& newest, bool newer)>;
  // As many forecasts as a stream that resumes may have missed.
  static constexpr std::size_t kResumeMost = 100;

  explicit ForecastEvents(std::size_t maxStreams) : maxStreams_(maxStreams) {}
  Q_DISABLE_COPY_MOVE(ForecastEvents)

  // The newest forecasts in the store, newest first, `all` when they are every one: each
  // stream gets those it has not had, oldest first, and each wait for one newer than it has is
  // answered. Nothing: the store cannot be read, and what a stream missed is read for it.
  void Publish(std::shared_ptr<const Rows> newestFirst, bool all);
  // Sent to every stream when it differs from the last sent.
  void PublishHealth(const QByteArray& json);

  // A place for a stream; 0 when all are taken or the events have stopped.
  Token Reserve();
  // Whether what a stream missed is known here: one that has had every forecast up to
  // `after`, or a new reader (nothing), who gets the newest alone.
  bool Knows(std::optional<qint64> after) const;
  // The stream for `token` gets what it missed (from `read`, newest first as read from the
  // store for it, or else from what is known here) and then every forecast as it comes.
  void Join(Token token, HttpStream stream, std::optional<qint64> after,
            const std::optional<Rows>& read = std::nullopt);
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
    bool joined = false;
    // Joined while nothing was known: the newest known next is its first.
    bool newestNext = false;
  };
  struct Waiter {
    qint64 after;
    Answer answer;
  };

  // Sends `reader` each of `newestFirst` it has not had, at most the newest `most`, oldest
  // first; with the lock held.
  void SendNew(Reader& reader, const Rows& newestFirst, std::size_t most);
  const std::string& EventText(const ForecastRow& row);
  std::optional<ForecastRow> Newest() const;

  const std::size_t maxStreams_;
  mutable std::mutex mutex_;
  bool stopped_ = false;
  Token next_ = 1;
  std::shared_ptr<const Rows> known_;  // newest first
  bool all_ = false;
  // The event of each forecast known, made once for every stream.
  std::map<qint64, std::pair<ForecastRow, std::string>> texts_;
  std::map<Token, Reader> readers_;
  std::map<Token, Waiter> waiters_;
  std::string health_;
  quint64 eventsSent_ = 0;
};

}  // namespace skyloom
