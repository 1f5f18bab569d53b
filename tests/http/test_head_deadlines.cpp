#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <functional>
#include <numeric>
#include <vector>

#include "http/head_deadlines.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;
namespace net = boost::asio;

struct Waiter : HeadWaiter {
  std::function<void()> late;
  void HeadLate() override { late(); }
};

// A burst of connections falling due together is closed in deadline order, none early, and
// in batches: input that arrives while the first batch is being closed is taken before the
// last of the burst is.
TEST(HeadDeadlines, ABurstFallingDueTogetherLetsInputIn) {
  net::io_context loop(1);
  HeadDeadlines deadlines(loop, 50ms);
  net::local::stream_protocol::socket reader(loop);
  net::local::stream_protocol::socket writer(loop);
  net::local::connect_pair(reader, writer);
  char byte = 0;
  std::size_t closedWhenRead = 0;

  std::vector<Waiter> waiters(300);
  std::vector<std::size_t> closed;
  std::vector<HeadWaiter::Clock::duration> lateBy;
  const auto start = HeadWaiter::Clock::now();
  for (std::size_t i = 0; i < waiters.size(); ++i) {
    waiters[i].late = [&, i] {
      closed.push_back(i);
      lateBy.push_back(HeadWaiter::Clock::now() - start);
      if (i == 2) net::write(writer, net::buffer("x", 1));
    };
    deadlines.Wait(waiters[i]);
  }
  // Got its head: never closed. Waits again: closed last, after its new deadline.
  HeadDeadlines::Done(waiters[5]);
  net::steady_timer again(loop, 20ms);
  again.async_wait([&](boost::system::error_code) { deadlines.Wait(waiters[0]); });
  net::async_read(reader, net::buffer(&byte, 1),
                  [&](boost::system::error_code, std::size_t) { closedWhenRead = closed.size(); });
  loop.run_for(2s);

  ASSERT_EQ(closed.size(), waiters.size() - 1);
  std::vector<std::size_t> expected(waiters.size());
  std::iota(expected.begin(), expected.end(), 0);
  std::erase(expected, 5);
  std::rotate(expected.begin(), expected.begin() + 1, expected.end());
  EXPECT_EQ(closed, expected);
  EXPECT_GE(lateBy.front(), 50ms);
  EXPECT_GE(lateBy.back(), 70ms);
  EXPECT_GT(closedWhenRead, 0u);
  EXPECT_LT(closedWhenRead, closed.size() / 2);
}

}  // namespace
}  // namespace skyloom
