#include "serving/forecast_events.h"

#include <algorithm>

#include "serving/json_rows.h"
#include "store/forecast_event.h"

namespace skyloom {
namespace {

// One event of a text/event-stream: a forecast with its id, or health.
std::string ForecastEvent(const Event& forecast) {
  return "event: forecast\nid: " + std::to_string(forecast.forecastId) +
         "\ndata: " + ForecastJson(forecast).toStdString() + "\n\n";
}

std::string HealthEvent(const QByteArray& json) {
  return "event: health\ndata: " + json.toStdString() + "\n\n";
}

bool Same(const ForecastRow& a, const ForecastRow& b) {
  return a.id == b.id && a.logtime == b.logtime && a.text == b.text;
}

}  // namespace

void ForecastEvents::Publish(std::shared_ptr<const Rows> newestFirst, bool all) {
  std::vector<Waiter> answered;
  std::optional<ForecastRow> newest;
  {
    const std::lock_guard lock(mutex_);
    if (stopped_) return;
    known_ = std::move(newestFirst);
    all_ = all;
    if (!known_) return;
    // Each forecast's event is made once, however many streams it goes to.
    std::map<qint64, std::pair<ForecastRow, std::string>> texts;
    for (const ForecastRow& row : *known_) {
      const auto made = texts_.find(row.id);
      if (made != texts_.end() && Same(made->second.first, row)) {
        texts.insert(texts_.extract(made));
      } else {
        texts.emplace(row.id, std::pair{row, ForecastEvent(EventFromForecast(row))});
      }
    }
    texts_.swap(texts);
    for (auto& [token, reader] : readers_) {
      if (reader.joined) SendNew(reader, *known_, kResumeMost);
    }
    newest = Newest();
    if (!newest) return;
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
    if (!reader.joined) continue;
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

bool ForecastEvents::Knows(std::optional<qint64> after) const {
  const std::lock_guard lock(mutex_);
  if (!known_) return false;
  // A stream gets at most the newest kResumeMost it missed, so those are enough.
  return !after || all_ || known_->size() >= kResumeMost || known_->back().id <= *after + 1;
}

void ForecastEvents::Join(Token token, HttpStream stream, std::optional<qint64> after,
                          const std::optional<Rows>& read) {
  std::unique_lock lock(mutex_);
  const auto found = readers_.find(token);
  if (found == readers_.end()) {  // gone already, or stopped
    lock.unlock();
    return stream.End();
  }
  Reader& reader = found->second;
  reader.stream = std::move(stream);
  reader.sentUpTo = after.value_or(0);
  reader.joined = true;
  if (read) SendNew(reader, *read, kResumeMost);
  if (!known_) {
    reader.newestNext = !after && !read;
    return;
  }
  // A new reader starts with the newest forecast; one that resumes gets what it missed.
  SendNew(reader, *known_, after || read ? kResumeMost : 1);
}

void ForecastEvents::Leave(Token token) {
  const std::lock_guard lock(mutex_);
  readers_.erase(token);
}

const std::string& ForecastEvents::EventText(const ForecastRow& row) {
  auto made = texts_.find(row.id);
  if (made == texts_.end() || !Same(made->second.first, row)) {
    made = texts_.insert_or_assign(row.id, std::pair{row, ForecastEvent(EventFromForecast(row))})
               .first;
  }
  return made->second.second;
}

void ForecastEvents::SendNew(Reader& reader, const Rows& newestFirst, std::size_t most) {
  if (std::exchange(reader.newestNext, false)) most = 1;
  std::size_t unsent = 0;
  while (unsent < newestFirst.size() && unsent < most && newestFirst[unsent].id > reader.sentUpTo) {
    ++unsent;
  }
  for (std::size_t i = unsent; i-- > 0;) {
    reader.stream.Send(EventText(newestFirst[i]));
    reader.sentUpTo = newestFirst[i].id;
    ++eventsSent_;
  }
}

std::optional<ForecastRow> ForecastEvents::Newest() const {
  if (!known_ || known_->empty()) return std::nullopt;
  return known_->front();
}

ForecastEvents::Token ForecastEvents::Wait(qint64 after, Answer answer) {
  std::optional<ForecastRow> newest;
  {
    const std::lock_guard lock(mutex_);
    newest = Newest();
    if (!stopped_ && (!newest || newest->id <= after)) {
      const Token token = next_++;
      waiters_.emplace(token, Waiter{after, std::move(answer)});
      return token;
    }
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
    newest = Newest();
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
    newest = Newest();
  }
  for (const auto& [token, reader] : readers) reader.stream.End();
  for (const auto& [token, waiter] : waiters) waiter.answer(newest, false);
}

EventCounts ForecastEvents::Counts() const {
  const std::lock_guard lock(mutex_);
  return {readers_.size(), eventsSent_, waiters_.size()};
}

}  // namespace skyloom
