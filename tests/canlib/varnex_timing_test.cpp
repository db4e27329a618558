// The library's waits against the processor clock: waiting for answers, and
// a receive thread facing a lost bus, must not spin. They measure processor
// time over real time, so they run on their own (CTest label `timing`),
// never beside other tests or under a sanitizer.

#include <sys/resource.h>

#include "VarnexTestSupport.h"

namespace varnex_test {
namespace {

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(VarnexInterface, WaitingForAnswersUsesNoProcessorTime) {
  Node node(w.busB);
  ASSERT_TRUE(openIxxat(1));
  api.set_timeout(300);
  const double before = cpuSeconds();
  std::uint8_t length;
  std::int32_t value;
  EXPECT_FALSE(api.recv_SDO(0x1000, 0, &length, &value));  // 3 x 300 ms without answer
  EXPECT_FALSE(api.send_SDO(0x1000, 0, 1, 0));
  EXPECT_FALSE(api.waitBootup(300));
  // About 2.1 s of waiting; a spinning wait would burn all of it.
  EXPECT_LT(cpuSeconds() - before, 0.3);
}

TEST_F(VarnexInterface, LostPeakBusNeitherSpinsNorHoldsUpTerminate) {
  ASSERT_TRUE(api.init_can(1, 1000, -1, -1, true, 0x51, nullptr));  // bus A
  const std::uint16_t port = w.serverA.port();
  w.serverA.stop();
  // From now on every read reports the lost bus at once and the receive event
  // stays readable: a receive thread that did not back off would burn the second.
  const double before = cpuSeconds();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(cpuSeconds() - before, 0.3);
  api.terminate_can();
  std::string error;
  EXPECT_TRUE(w.serverA.start("127.0.0.1", port, error)) << error;  // for the tests after this one
}

}  // namespace
}  // namespace varnex_test
