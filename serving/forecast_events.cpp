#include "serving/forecast_events.h"

#include <algorithm>

#include "serving/json_rows.h"

namespace skyloom {
namespace {

// As many as a stream that resumes may have missed.
constexpr std::size_t kRecent = 100;

// One event of a text/event-stream: a forecast with its id, or health.
std::string ForecastEvent(const ForecastRow& row) {
  return "event: forecast\nid: " + std::to_string(row.id) +
         "\ndata: " + ForecastJson(row).toStdString() + "\n\n";
}

std::string HealthEvent(const QByteArray& json) {
  return "event: health\ndata: " + json.toStdString() + "\n\n";
}

}  // namespace

void ForecastEvents::Publish(const std::vector<ForecastRow>& oldestFirst) {
  std::vector<Waiter> answered;
  std::optional<ForecastRow> newest;
  {
    const std::lock_guard lock(mutex_);
    if (stopped_ || oldestFirst.empty()) return;
    for (const ForecastRow& row : oldestFirst) {
      if (!recent_.empty() && row.id <= recent_.back().id) continue;
      recent_.push_back(row);
    }
    if (recent_.size() > kRecent) recent_.erase(recent_.begin(), recent_.end() - kRecent);
    // A stream skips what it has had, so the first look sends only what its backlog missed.
    for (auto& [token, reader] : readers_) {
      if (reader.ready) SendNew(reader, oldestFirst);
    }
    newest = recent_.back();
    for (auto it = waiters_.begin(); it != waiters_.end();) {
      if (it->second.after >= newest->id) {
        ++it;
        continue;
      }
      answered.push_back(std::move(it->second));
      it = waiters_.erase(it);
    }
  }
  for (const Waiter& waiter : answered) waiter.answer(newest, true);
}

void ForecastEvents::PublishHealth(const QByteArray& json) {
  const std::lock_guard lock(mutex_);
  if (stopped_ || json.toStdString() == health_) return;
  const bool first = health_.empty();
  health_ = json.toStdString();
  if (first) return;  // a change is news, the state at start is not
  const std::string event = HealthEvent(json);
  for (auto& [token, reader] : readers_) {
    if (!reader.ready) continue;
    reader.stream.Send(event);
    ++eventsSent_;
  }
}

ForecastEvents::Token ForecastEvents::Reserve() {
  const std::lock_guard lock(mutex_);
  if (stopped_ || readers_.size() >= maxStreams_) return 0;
  const Token token = next_++;
  readers_.emplace(token, Reader{});
  return token;
}

void ForecastEvents::Attach(Token token, HttpStream stream, qint64 sentUpTo) {
  const std::lock_guard lock(mutex_);
  const auto reader = readers_.find(token);
  if (reader == readers_.end()) return;  // gone already
  reader->second.stream = std::move(stream);
  reader->second.sentUpTo = sentUpTo;
}

void ForecastEvents::Ready(Token token, const std::vector<ForecastRow>& missed) {
  const std::lock_guard lock(mutex_);
  const auto reader = readers_.find(token);
  if (reader == readers_.end()) return;
  SendNew(reader->second, missed);
  SendNew(reader->second, recent_);
  reader->second.ready = true;
}

void ForecastEvents::Leave(Token token) {
  const std::lock_guard lock(mutex_);
  readers_.erase(token);
}

void ForecastEvents::SendNew(Reader& reader, const std::vector<ForecastRow>& rows) {
  for (const ForecastRow& row : rows) {
    if (row.id <= reader.sentUpTo) continue;
    reader.stream.Send(ForecastEvent(row));
    reader.sentUpTo = row.id;
    ++eventsSent_;
  }
}

ForecastEvents::Token ForecastEvents::Wait(qint64 after, Answer answer) {
  std::optional<ForecastRow> newest;
  {
    const std::lock_guard lock(mutex_);
    if (!stopped_ && (recent_.empty() || recent_.back().id <= after)) {
      const Token token = next_++;
      waiters_.emplace(token, Waiter{after, std::move(answer)});
      return token;
    }
    if (!recent_.empty()) newest = recent_.back();
  }
  answer(newest, newest && newest->id > after);
  return 0;
}

void ForecastEvents::Expire(Token token) {
  std::optional<Waiter> waiter;
  std::optional<ForecastRow> newest;
  {
    const std::lock_guard lock(mutex_);
    const auto found = waiters_.find(token);
    if (found == waiters_.end()) return;  // answered meanwhile
    waiter = std::move(found->second);
    waiters_.erase(found);
    if (!recent_.empty()) newest = recent_.back();
  }
  waiter->answer(newest, false);
}

void ForecastEvents::Stop() {
  std::map<Token, Reader> readers;
  std::map<Token, Waiter> waiters;
  std::optional<ForecastRow> newest;
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    readers.swap(readers_);
    waiters.swap(waiters_);
    if (!recent_.empty()) newest = recent_.back();
  }
  for (const auto& [token, reader] : readers) reader.stream.End();
  for (const auto& [token, waiter] : waiters) waiter.answer(newest, false);
}

EventCounts ForecastEvents::Counts() const {
  const std::lock_guard lock(mutex_);
  return {readers_.size(), eventsSent_, waiters_.size()};
}

}  // namespace skyloom
