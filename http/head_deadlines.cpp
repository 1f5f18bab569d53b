#include "http/head_deadlines.h"

#include <boost/asio/post.hpp>

namespace skyloom {
namespace {

// Closing a connection costs a few microseconds of the kernel's time; this many at once
// keeps the loop's longest pause well under a millisecond.
constexpr int kClosedAtOnce = 16;

}  // namespace

HeadDeadlines::HeadDeadlines(boost::asio::io_context& loop, std::chrono::milliseconds wait)
    : loop_(loop), wait_(wait), timer_(loop) {}

void HeadDeadlines::Wait(HeadWaiter& waiter) {
  waiter.unlink();
  waiter.deadline_ = HeadWaiter::Clock::now() + wait_;
  waiting_.push_back(waiter);
  if (!armed_) Arm();
}

void HeadDeadlines::Arm() {
  armed_ = true;
  timer_.expires_at(waiting_.front().deadline_);
  timer_.async_wait([this](const boost::system::error_code& error) {
    armed_ = false;
    if (!error) CloseLate();
  });
}

void HeadDeadlines::CloseLate() {
  const auto now = HeadWaiter::Clock::now();
  for (int closed = 0; !waiting_.empty() && waiting_.front().deadline_ <= now; ++closed) {
    if (closed == kClosedAtOnce) {
      // Posted work runs after the loop has looked for input again.
      armed_ = true;
      boost::asio::post(loop_, [this] {
        armed_ = false;
        CloseLate();
      });
      return;
    }
    HeadWaiter& late = waiting_.front();
    late.unlink();
    late.HeadLate();
  }
  if (!waiting_.empty()) Arm();
}

}  // namespace skyloom
