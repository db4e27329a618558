// CPU an idle receive loop costs: the receive thread pattern of Varnex on a
// connected bus that carries no traffic, for each stand-in, beside a plain
// sleep loop with the same 100 ms period measured in the same run.
//
//   bench_idle_read [SECONDS]   (each loop runs SECONDS, default 5)
//
// Figures are percent of one core: the loop's own thread, and the whole
// process (the stand-in's threads and the in-process bus server included).
// Run from the application folder (bench/run.sh does), where the stand-ins are.

#include <dlfcn.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "BenchReport.h"
#include "StandIns.h"
#include "PCANBasic.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "vcinpl.h"

namespace {

using kestrum::bench::metric;
using Clock = std::chrono::steady_clock;
constexpr int kPeriodMs = 100;  // Varnex's receive wait

double seconds(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

// Runs `step` on a fresh thread until `duration` has passed and reports the
// thread's and the process's CPU time as percent of the wall time.
template <class Step>
void measure(const std::string& name, double duration, Step step) {
  double threadCpu = 0;
  const double process0 = processCpuSeconds();
  const auto start = Clock::now();
  std::thread worker([&] {
    const double cpu0 = seconds(CLOCK_THREAD_CPUTIME_ID);
    const auto end = Clock::now() + std::chrono::duration<double>(duration);
    while (Clock::now() < end) step();
    threadCpu = seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
  });
  worker.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  metric((name + "_thread_cpu").c_str(), 100 * threadCpu / wall, "%core");
  metric((name + "_process_cpu").c_str(), 100 * (processCpuSeconds() - process0) / wall, "%core");
}

int fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const double duration = argc > 1 ? std::atof(argv[1]) : 5.0;
  if (!(duration > 0)) return fail("usage: bench_idle_read [SECONDS]");

  kestrum::sim::VirtualBus bus;
  kestrum::sim::SocketcandServer server(bus);
  std::string error;
  if (!server.start("127.0.0.1", 0, error)) return fail(error.c_str());
  ::setenv("KESTRUM_BUS", server.entry().c_str(), 1);

  measure("idle_sleep_baseline", duration, [] { std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs)); });

  void* vci = ::dlopen("./libvcinpl.so", RTLD_NOW);
  void* pcan = ::dlopen("./libpcanbasic.so", RTLD_NOW);
  if (!vci || !pcan) return fail(::dlerror());

  // IXXAT: a blocking read with the time-out, as Varnex's receive thread does.
  const bench::VciLine line = bench::openVciLine(vci);
  HANDLE channel = line.channel;
  if (!channel) return fail("IXXAT start failed");
  auto readMessage = bench::bind<PF_canChannelReadMessage>(vci, "canChannelReadMessage");
  int unexpected = 0;
  measure("idle_vci_read", duration, [&] {
    CANMSG msg;
    if (readMessage(channel, kPeriodMs, &msg) != VCI_E_TIMEOUT) ++unexpected;
  });
  bench::bind<PF_canChannelClose>(vci, "canChannelClose")(channel);
  bench::bind<PF_canControlClose>(vci, "canControlClose")(line.control);
  bench::bind<PF_vciDeviceClose>(vci, "vciDeviceClose")(line.device);

  // PEAK: wait on the receive event with the time-out, then read, as Varnex does.
  if (bench::bind<PFN_CAN_Initialize>(pcan, "CAN_Initialize")(PCAN_USBBUS1, PCAN_BAUD_1M, 0, 0, 0) != PCAN_ERROR_OK)
    return fail("PCAN initialise failed");
  int event = -1;
  bench::bind<PFN_CAN_GetValue>(pcan, "CAN_GetValue")(PCAN_USBBUS1, PCAN_RECEIVE_EVENT, &event, sizeof event);
  auto canRead = bench::bind<PFN_CAN_Read>(pcan, "CAN_Read");
  measure("idle_pcan_read", duration, [&] {
    pollfd fd{event, POLLIN, 0};
    ::poll(&fd, 1, kPeriodMs);
    TPCANMsg msg;
    if (canRead(PCAN_USBBUS1, &msg, nullptr) != PCAN_ERROR_QRCVEMPTY) ++unexpected;
  });
  bench::bind<PFN_CAN_Uninitialize>(pcan, "CAN_Uninitialize")(PCAN_NONEBUS);
  if (unexpected) std::fprintf(stderr, "%d reads on the idle bus returned something\n", unexpected);
  return 0;
}
