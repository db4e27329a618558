// readObject round trips of the online connector against a simulated node
// on the unpaced virtual bus, through the real libVarnex.so and the
// PCAN-Basic stand-in; the library's own expedited upload (recv_SDO) on the
// same path is the baseline. Also the processor time of the waiting
// (user-interface) thread.
//
// The families are measured in alternating blocks, each with a freshly
// started receive thread: on a virtual machine a hand-off to a thread on
// another, idle processor costs some 25 us, so a round trip takes either
// ~20 us or ~60 us depending on where the scheduler happens to place the
// threads, and one long run per family would pin that luck on one family.
// `taskset -c 1` (one processor) shows what the software itself takes.
#include "BenchReport.h"
#include <sys/resource.h>

// Before any Qt header: the simulated node has a method named like Qt's
// `emit` keyword macro.
#ifdef KESTRUM_BENCH_SIMNODE
#include "node/NodeHost.h"
#endif

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

#include "BusTestSupport.h"
#include "DLLConnector.h"

using namespace bustest;
using Clock = std::chrono::steady_clock;

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;

constexpr std::uint8_t kNode = 1;

double threadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

template <typename Fn>
std::vector<double> timeRounds(int rounds, Fn fn) {
  std::vector<double> us;
  us.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (!fn()) {
      std::fprintf(stderr, "round %d failed\n", i);
      std::exit(1);
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return us;
}

}  // namespace

int main() {
  BusWorld& world = BusWorld::get();
  if (!world.loader->available) {
    std::fprintf(stderr, "libVarnex.so not found in the working directory\n");
    return 1;
  }

  // Answers every upload request with a two-byte value.
  std::unique_ptr<ScriptedNode> node;
  auto answer = [](const CanFrame& req) -> std::optional<CanFrame> {
    return frame(0x580 + kNode, {0x4B, req.data[1], req.data[2], req.data[3], 0x37, 0x02, 0, 0});
  };
  std::function<void(unsigned)> setDelay;
  const char* responder = "scripted responder";
#ifdef KESTRUM_BENCH_SIMNODE
  // KESTRUM_BENCH_RESPONDER=scripted measures without the simulated node.
  const bool useSimNode = !qEnvironmentVariableIsSet("KESTRUM_BENCH_RESPONDER") ||
                          qEnvironmentVariable("KESTRUM_BENCH_RESPONDER") != QStringLiteral("scripted");
  std::unique_ptr<kestrum::sim::NodeHost> host;
  if (useSimNode) {
    host = std::make_unique<kestrum::sim::NodeHost>(world.bus, ".", "");
    std::string error;
    if (!host->addNode(kNode, "Mirelo", error)) {
      std::fprintf(stderr, "simulated node: %s\n", error.c_str());
      return 1;
    }
    setDelay = [&](unsigned ms) { host->setAnswerDelayMs(kNode, ms); };
    responder = "simulated node";
  }
#endif
  if (!setDelay) {
    node = std::make_unique<ScriptedNode>(world.bus, kNode);
    node->setResponder(answer);
    setDelay = [&](unsigned ms) { node->setResponder(answer, std::chrono::milliseconds(ms)); };
  }
  std::fprintf(stderr, "# against the %s\n", responder);

  auto connector = std::make_unique<DLLConnector>(world.loader);
  auto read = [&] { return connector->readObject(kNode, 0x6041, 0, TYPE_U16, 1000).code == 0; };
  auto libraryRead = [&] {
    std::uint8_t type = 0;
    std::int32_t value = 0;
    return connector->recv_sdoW(0x6041, 0, type, value);
  };

  // Both adapter families reach the same bus: the IXXAT stand-in reads with
  // a blocking wait, the PCAN-Basic one is polled every millisecond by the
  // library (PCAN-Basic has no blocking read).
  const struct {
    const char* family;
    int vendor;
  } families[] = {{"ixxat", 0}, {"peak", firstBusChannel}};
  constexpr int kBlocks = 4;
  constexpr int kRoundsPerBlock = 750;
  struct Figures {
    std::vector<double> readUs, libraryUs;
    double cpu = 0, wall = 0;
  } figures[std::size(families)];
  for (int block = 0; block < kBlocks; ++block) {
    for (std::size_t f = 0; f < std::size(families); ++f) {
      connector->init_canW(kNode, 1000, -1, -1, true, families[f].vendor, nullptr);
      std::this_thread::sleep_for(200ms);
      timeRounds(block == 0 ? 200 : 50, read);  // warm-up

      Figures& fig = figures[f];
      const double cpu0 = threadCpuSeconds();
      const auto wall0 = Clock::now();
      const auto us = timeRounds(kRoundsPerBlock, read);
      fig.wall += std::chrono::duration<double>(Clock::now() - wall0).count();
      fig.cpu += threadCpuSeconds() - cpu0;
      fig.readUs.insert(fig.readUs.end(), us.begin(), us.end());
      const auto lib = timeRounds(kRoundsPerBlock, libraryRead);
      fig.libraryUs.insert(fig.libraryUs.end(), lib.begin(), lib.end());
    }
  }

  for (std::size_t f = 0; f < std::size(families); ++f) {
    const auto& fam = families[f];
    const Figures& fig = figures[f];
    const std::string prefix = std::string("connector_") + fam.family + "_";
    auto name = [&](const char* what) { return prefix + what; };
    metric(name("read_roundtrip_p50").c_str(), percentile(fig.readUs, 0.50), "us");
    metric(name("read_roundtrip_p99").c_str(), percentile(fig.readUs, 0.99), "us");
    metric(name("read_ui_thread_cpu").c_str(), 100.0 * fig.cpu / fig.wall, "% of a core");
    metric(name("baseline_library_recv_sdo_p50").c_str(), percentile(fig.libraryUs, 0.50), "us");
    metric(name("baseline_library_recv_sdo_p99").c_str(), percentile(fig.libraryUs, 0.99), "us");

    connector->init_canW(kNode, 1000, -1, -1, true, fam.vendor, nullptr);
    std::this_thread::sleep_for(200ms);

    // A slow node: the waiting thread must sleep, not spin.
    setDelay(100);
    const double slowCpu0 = threadCpuSeconds();
    const auto slowWall0 = Clock::now();
    timeRounds(10, read);
    const double slowWall = std::chrono::duration<double>(Clock::now() - slowWall0).count();
    metric(name("wait_100ms_answer_ui_thread_cpu").c_str(),
           100.0 * (threadCpuSeconds() - slowCpu0) / slowWall, "% of a core");
    setDelay(0);
  }

  connector.reset();
  return 0;
}
