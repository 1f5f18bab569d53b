#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/intrusive/list.hpp>
#include <chrono>

namespace skyloom {

// A connection waiting for a request head, as one loop's deadlines see it. It leaves the
// list by itself when destroyed.
class HeadWaiter : public boost::intrusive::list_base_hook<
                       boost::intrusive::link_mode<boost::intrusive::auto_unlink>> {
 public:
  using Clock = std::chrono::steady_clock;

  // Called on the loop's thread once the deadline has passed; it closes the connection.
  virtual void HeadLate() = 0;

 protected:
  ~HeadWaiter() = default;

 private:
  friend class HeadDeadlines;
  Clock::time_point deadline_;
};

// The head deadlines of one loop's connections. Every wait lasts as long, so the order the
// waits began in is the order they fall due, and one timer serves them all. Connections
// accepted together fall due together: they are closed a batch at a time, with the loop's
// other work let in between, so that a request arriving meanwhile never waits behind the
// whole burst.
class HeadDeadlines {
 public:
  HeadDeadlines(boost::asio::io_context& loop, std::chrono::milliseconds wait);

  // Starts or restarts the wait of one connection; only on the loop's thread.
  void Wait(HeadWaiter& waiter);
  static void Done(HeadWaiter& waiter) { waiter.unlink(); }

 private:
  void Arm();
  void CloseLate();

  boost::asio::io_context& loop_;
  const std::chrono::milliseconds wait_;
  boost::intrusive::list<HeadWaiter, boost::intrusive::constant_time_size<false>> waiting_;
  boost::asio::steady_timer timer_;
  bool armed_ = false;
};

}  // namespace skyloom
