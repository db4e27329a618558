// Varnex against a responder on the unpaced virtual bus, reached through the
// stand-ins as the application reaches a real adapter:
// - send_SDO / recv_SDO round trips, p50 and p99, for both adapter families;
// - processor time of the whole process while a request waits for an answer
//   that never comes (percent of one core);
// - the library's memory after 1,000,000 frames passed with nobody reading.
// Run from the application folder (bench/run.sh does): loads ./libVarnex.so.

#include "BenchReport.h"
#include <dlfcn.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RxQueue.h"
#include "VarnexApi.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;

using kestrum::sim::BusPort;
using kestrum::sim::CanFrame;
using kestrum::sim::VirtualBus;
using Clock = std::chrono::steady_clock;

// Node 1: acknowledges downloads, answers uploads with the value last
// downloaded, so a caller can tell its own answer from a late one.
class Responder : public BusPort {
 public:
  explicit Responder(VirtualBus& bus) : bus_(bus) { bus_.attach(this); }
  ~Responder() override { bus_.detach(this); }
  void deliver(const CanFrame& f) override {
    if (f.id != 0x601) return;
    requests.fetch_add(1, std::memory_order_relaxed);
    CanFrame answer;
    answer.id = 0x581;
    answer.dlc = 8;
    answer.data[1] = f.data[1];
    answer.data[2] = f.data[2];
    answer.data[3] = f.data[3];
    if (f.data[0] == 0x40) {
      answer.data[0] = 0x43;
      std::memcpy(answer.data + 4, stored, 4);
    } else {
      answer.data[0] = 0x60;
      std::memcpy(stored, f.data + 4, 4);
    }
    bus_.submit(this, answer);
  }
  std::atomic<std::uint64_t> requests{0};
  void send(const CanFrame& f) { bus_.submit(this, f); }

 private:
  VirtualBus& bus_;
  std::uint8_t stored[4] = {};
};

struct Api {
  PFN_init_can init_can;
  PFN_terminate_can terminate_can;
  PFN_select_node select_node;
  PFN_set_timeout set_timeout;
  PFN_send_SDO send_SDO;
  PFN_recv_SDO recv_SDO;
  PFN_setGetAllCallback setGetAllCallback;
};

void roundTrips(const Api& api, const Responder& node, const char* family, int count) {
  std::vector<double> down, up;
  std::uint8_t length;
  std::int32_t value;
  for (int i = 0; i < 200; ++i) api.send_SDO(0x2000, 1, 4, i);  // warm-up
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::uint64_t requestsBefore = node.requests.load();
  int wrong = 0;
  for (int i = 0; i < count; ++i) {
    auto t0 = Clock::now();
    if (!api.send_SDO(0x2000, 1, 4, i)) ++wrong;
    auto t1 = Clock::now();
    if (!api.recv_SDO(0x2000, 1, &length, &value) || value != i) ++wrong;
    auto t2 = Clock::now();
    down.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    up.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  const std::string prefix = std::string("varnex_") + family + "_";
  metric((prefix + "send_sdo_p50").c_str(), percentile(down, 0.50), "us");
  metric((prefix + "send_sdo_p99").c_str(), percentile(down, 0.99), "us");
  metric((prefix + "recv_sdo_p50").c_str(), percentile(up, 0.50), "us");
  metric((prefix + "recv_sdo_p99").c_str(), percentile(up, 0.99), "us");
  // Both must be 0: every call got its own answer, without a repeated request.
  metric((prefix + "failed_or_foreign_answers").c_str(), wrong, "calls");
  metric((prefix + "repeated_requests").c_str(), static_cast<double>(node.requests.load() - requestsBefore - 2 * count),
         "frames");
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A request to a node nobody answers: 3 attempts of 500 ms.
void cpuWhileWaiting(const Api& api, const char* family) {
  api.select_node(9);
  api.set_timeout(500);
  const double cpu0 = cpuSeconds();
  const auto t0 = Clock::now();
  std::uint8_t length;
  std::int32_t value;
  api.recv_SDO(0x1000, 0, &length, &value);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  metric((std::string("varnex_") + family + "_cpu_while_waiting").c_str(), 100.0 * (cpuSeconds() - cpu0) / wall,
         "percent_of_core");
  api.select_node(1);
  api.set_timeout(100);
}

long rssKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::atomic<std::uint64_t> framesSeen{0};
void countFrame(std::uint8_t*, std::uint32_t&, std::uint16_t&, std::uint8_t&, bool& transmitted) {
  if (!transmitted) framesSeen.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

int main() {
  VirtualBus bus;
  kestrum::sim::SocketcandServer server(bus);
  std::string error;
  if (!server.start("127.0.0.1", 0, error)) {
    std::fprintf(stderr, "server: %s\n", error.c_str());
    return 1;
  }
  setenv("KESTRUM_BUS", server.entry().c_str(), 1);
  void* lib = dlopen("./libVarnex.so", RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  Api api{reinterpret_cast<PFN_init_can>(dlsym(lib, "init_can")),
          reinterpret_cast<PFN_terminate_can>(dlsym(lib, "terminate_can")),
          reinterpret_cast<PFN_select_node>(dlsym(lib, "select_node")),
          reinterpret_cast<PFN_set_timeout>(dlsym(lib, "set_timeout")),
          reinterpret_cast<PFN_send_SDO>(dlsym(lib, "send_SDO")),
          reinterpret_cast<PFN_recv_SDO>(dlsym(lib, "recv_SDO")),
          reinterpret_cast<PFN_setGetAllCallback>(dlsym(lib, "setGetAllCallback"))};
  // Varnex::queue(), exported for clients of the class, to count held elements.
  auto queueOf = reinterpret_cast<std::shared_ptr<varnex::RxQueue> (*)()>(dlsym(lib, "_ZN6Varnex5queueEv"));
  Responder responder(bus);

  // PEAK: PCAN-Basic has no blocking read; the receive thread waits on the
  // channel's receive event (polling each millisecond only without one).
  api.init_can(1, 1000, -1, -1, true, 0x51, nullptr);
  roundTrips(api, responder, "peak", 1000);
  cpuWhileWaiting(api, "peak");

  api.init_can(1, 1000, -1, -1, true, 0, nullptr);
  roundTrips(api, responder, "ixxat", 5000);
  cpuWhileWaiting(api, "ixxat");

  // 1,000,000 frames nobody reads. Sent in batches that the library drains
  // before the next, so the server's buffer for a slow client never overflows.
  api.setGetAllCallback(&countFrame);
  const long rssBefore = rssKiB();
  const auto heapBefore = mallinfo2().uordblks;
  constexpr std::uint64_t kFrames = 1000000, kBatch = 5000;
  CanFrame pdo;
  pdo.id = 0x181;
  pdo.dlc = 8;
  const auto t0 = Clock::now();
  for (std::uint64_t sent = 0; sent < kFrames;) {
    for (std::uint64_t i = 0; i < kBatch; ++i, ++sent) {
      pdo.data[0] = static_cast<std::uint8_t>(sent);
      responder.send(pdo);
    }
    const auto limit = Clock::now() + std::chrono::seconds(10);
    while (framesSeen.load() + kBatch < sent && Clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (framesSeen.load() < kFrames && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  metric("varnex_frames_received", static_cast<double>(framesSeen.load()), "frames");
  metric("varnex_receive_rate", framesSeen.load() / seconds, "frames_per_s");
  if (queueOf)
    if (auto q = queueOf()) metric("varnex_queue_elements_after_1M_frames", static_cast<double>(q->size()), "elements");
  metric("varnex_heap_growth_after_1M_frames",
         (static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heapBefore)) / 1024.0, "KiB");
  metric("varnex_rss_growth_after_1M_frames", static_cast<double>(rssKiB() - rssBefore), "KiB");
  api.setGetAllCallback(nullptr);
  api.terminate_can();
  return 0;
}
