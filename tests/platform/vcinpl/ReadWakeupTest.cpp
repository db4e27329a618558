// How often an idle canChannelReadMessage wakes up. The test executable
// defines poll() and exports it, so libvcinpl.so's calls land here first and
// are counted per thread before they go on to the real one.

#include <dlfcn.h>
#include <poll.h>

#include "VciBinding.h"

namespace {

thread_local int pollCalls = 0;
thread_local int zeroTimeoutPolls = 0;

using PollFn = int (*)(pollfd*, nfds_t, int);

}  // namespace

extern "C" int poll(pollfd* fds, nfds_t count, int timeoutMs) {
  static const PollFn next = reinterpret_cast<PollFn>(::dlsym(RTLD_NEXT, "poll"));
  ++pollCalls;
  if (timeoutMs == 0) ++zeroTimeoutPolls;
  return next(fds, count, timeoutMs);
}

namespace {

using kestrum::test::TestBus;
using kestrum::test::useBuses;
using kestrum::test::Vci;

// The library's receive thread reads with a 100 ms time-out on a bus that is
// mostly idle: each time-out must cost a wait or two, not a burst of polls
// through the last fraction of a millisecond.
TEST(VcinplIdleRead, TimeOutWaitsWithoutPollingTheRemainder) {
  Vci vci;
  ASSERT_TRUE(vci.bind());
  TestBus bus;
  useBuses(bus.entry());
  VCIDEVICEINFO info;
  ASSERT_TRUE(vci.firstDevice(info));
  Vci::Line line;
  ASSERT_TRUE(vci.openLine(info, CAN_BT0_1000KB, CAN_BT1_1000KB, line));

  const struct {
    UINT32 timeoutMs;
    int rounds;
  } cases[] = {{100, 5}, {7, 20}, {1, 50}};
  for (const auto& c : cases) {
    for (int i = 0; i < c.rounds; ++i) {
      pollCalls = zeroTimeoutPolls = 0;
      CANMSG msg;
      ASSERT_EQ(vci.canChannelReadMessage(line.channel, c.timeoutMs, &msg), VCI_E_TIMEOUT);
      // The interposer must see the library's waits at all, else the count says nothing.
      EXPECT_GE(pollCalls, 1) << c.timeoutMs << " ms";
      EXPECT_LE(pollCalls, 2) << c.timeoutMs << " ms, round " << i;
      EXPECT_EQ(zeroTimeoutPolls, 0) << c.timeoutMs << " ms, round " << i;
    }
  }
  vci.closeLine(line);
}

}  // namespace
