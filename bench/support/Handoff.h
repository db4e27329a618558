#pragma once
// What a wake-up from one thread to another costs on this machine right now.
// Round trips through the simulated bus take several such hand-offs, and on a
// virtual machine their cost swings with the load of the host, so benchmarks
// print it beside their figures to tell a slow machine from slow code.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "BenchReport.h"

namespace kestrum::bench {

/// Median microseconds from writing an eventfd until a thread blocked in
/// poll() on it runs, over `samples` wake-ups spaced 200 us apart; the
/// threads run where the caller's processor affinity lets them.
inline double handoffMedianUs(int samples = 2000) {
  using Clock = std::chrono::steady_clock;
  const int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return 0;
  std::vector<double> us;
  us.reserve(std::size_t(samples));
  std::atomic<std::int64_t> sentAt{0};
  std::thread waiter([&] {
    for (int i = 0; i < samples; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      std::uint64_t count;
      if (::read(fd, &count, sizeof count) != sizeof count) break;
      const auto now = Clock::now().time_since_epoch().count();
      us.push_back(double(now - sentAt.load()) / 1000.0);
    }
  });
  for (int i = 0; i < samples; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    sentAt.store(Clock::now().time_since_epoch().count());
    const std::uint64_t one = 1;
    if (::write(fd, &one, sizeof one) != sizeof one) break;
  }
  waiter.join();
  ::close(fd);
  return percentile(us, 0.5);
}

}  // namespace kestrum::bench
