// Time left for a poll(): never zero while any time is left.

#include <gtest/gtest.h>

#include <climits>

#include "transport/Deadline.h"

namespace {

using kestrum::transport::Clock;
using kestrum::transport::msLeft;
using namespace std::chrono;

TEST(MsLeft, RoundsUpAndReachesZeroOnlyAtTheDeadline) {
  struct Case {
    const char* what;
    nanoseconds left;
    bool unlimited;
    int expected;
  };
  const Case cases[] = {
      {"a fraction of a millisecond", microseconds(300), false, 1},
      {"one nanosecond", nanoseconds(1), false, 1},
      {"exactly one millisecond", milliseconds(1), false, 1},
      {"just over a whole count", microseconds(99'200), false, 100},
      {"just under a whole count", microseconds(99'999), false, 100},
      {"a whole count", milliseconds(100), false, 100},
      {"deadline now", nanoseconds(0), false, 0},
      {"deadline passed", milliseconds(-5), false, 0},
      {"beyond an int", hours(24 * 30), false, INT_MAX},
      {"no deadline", milliseconds(-5), true, -1},
  };
  const Clock::time_point now = Clock::now();
  for (const Case& c : cases)
    EXPECT_EQ(msLeft(now + c.left, c.unlimited, now), c.expected) << c.what;
}

}  // namespace
