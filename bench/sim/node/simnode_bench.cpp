// Simulated controllers: how fast a node answers an SDO request, and whether
// ten nodes with four 1 ms event-driven transmit PDOs each keep pace on the
// virtual bus. Run in the application folder (it reads XML/EDS_Mirelo.xml).

#include "BenchReport.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "node/NodeHost.h"

using namespace kestrum::sim;
using Clock = std::chrono::steady_clock;

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;

std::string dataDir() {
  if (std::filesystem::exists("XML/EDS_Mirelo.xml")) return ".";
  return NodeHost::executableDir() + "/../bin";
}

// Request handed to the node -> answer emitted, without any threads.
void sdoLatencyInNode() {
  std::string error;
  auto node = SimNode::fromEds({5, "Mirelo", ""}, dataDir() + "/XML/EDS_Mirelo.xml", error);
  if (!node) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  Clock::time_point answered;
  node->setSink([&](const CanFrame&) { answered = Clock::now(); });
  node->setPowered(true, 0);
  CanFrame request;
  request.id = 0x605;
  request.dlc = 8;
  const std::uint8_t upload[8] = {0x40, 0x41, 0x60, 0x00, 0, 0, 0, 0};
  std::copy(upload, upload + 8, request.data);
  std::vector<double> us;
  const int n = 200000;
  us.reserve(n);
  for (int i = 0; i < n; ++i) {
    const auto start = Clock::now();
    node->receive(request, std::uint64_t(i) * 10);
    us.push_back(std::chrono::duration<double, std::micro>(answered - start).count());
  }
  metric("simnode_sdo_answer_latency_p50", percentile(us, 0.5), "us");
  metric("simnode_sdo_answer_latency_p99", percentile(us, 0.99), "us");
}

// A port that counts PDO frames and answers round trips.
struct Counter : BusPort {
  std::atomic<std::uint64_t> pdos{0};
  std::mutex mutex;
  std::condition_variable cv;
  bool answered = false;
  void deliver(const CanFrame& f) override {
    if (f.id >= 0x180 && f.id < 0x580) pdos.fetch_add(1, std::memory_order_relaxed);
    if (f.id == 0x581) {
      std::lock_guard<std::mutex> lock(mutex);
      answered = true;
      cv.notify_all();
    }
  }
};

// Request submitted to the bus -> answer delivered, through the host's scheduler thread.
void sdoRoundTripThroughHost() {
  VirtualBus bus;
  NodeHost host(bus, dataDir(), "");
  std::string error;
  if (!host.addNode(1, "Mirelo", error)) return (void)std::fprintf(stderr, "%s\n", error.c_str());
  Counter probe;
  bus.attach(&probe);
  CanFrame request;
  request.id = 0x601;
  request.dlc = 8;
  request.data[0] = 0x40;
  request.data[1] = 0x41;
  request.data[2] = 0x60;
  std::vector<double> us;
  for (int i = 0; i < 5000; ++i) {
    std::unique_lock<std::mutex> lock(probe.mutex);
    probe.answered = false;
    const auto start = Clock::now();
    lock.unlock();
    bus.submit(&probe, request);
    lock.lock();
    probe.cv.wait(lock, [&] { return probe.answered; });
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  bus.detach(&probe);
  metric("simnode_host_sdo_roundtrip_p50", percentile(us, 0.5), "us");
  metric("simnode_host_sdo_roundtrip_p99", percentile(us, 0.99), "us");
}

// Ten nodes, four transmit PDOs each with a 1 ms event timer: 40,000 frames/s expected.
void eventPdosKeepPace() {
  VirtualBus bus;
  NodeHost host(bus, dataDir(), "");
  std::string error;
  const int nodes = 10;
  for (int id = 1; id <= nodes; ++id) {
    if (!host.addNode(std::uint8_t(id), "Mirelo", error)) return (void)std::fprintf(stderr, "%s\n", error.c_str());
    host.withNode(std::uint8_t(id), [id](SimNode& n, std::uint64_t) {
      for (std::uint16_t p = 0; p < 4; ++p) {
        const auto comm = std::uint16_t(0x1800 + p);
        const auto map = std::uint16_t(0x1A00 + p);
        auto u32 = [](std::uint32_t v) { return encodeNumber(kTypeU32, v); };
        n.writeObject(comm, 1, u32(0x180u + 0x100u * p + std::uint32_t(id)));
        n.writeObject(comm, 2, encodeNumber(kTypeU8, 255));
        n.writeObject(comm, 3, encodeNumber(kTypeU16, 0));
        n.writeObject(comm, 5, encodeNumber(kTypeU16, 1));
        if (n.dictionary().u32(map, 0) == 0) {
          n.writeObject(map, 1, u32(0x60410010));
          n.writeObject(map, 0, encodeNumber(kTypeU8, 1));
        }
      }
    });
  }
  Counter counter;
  bus.attach(&counter);
  CanFrame start;
  start.dlc = 2;
  start.data[0] = 0x01;  // NMT start, all nodes
  bus.submit(&counter, start);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle
  const std::uint64_t before = counter.pdos.load();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const double rate = double(counter.pdos.load() - before) / seconds;
  bus.detach(&counter);
  const double expected = nodes * 4 * 1000.0;
  metric("simnode_event_pdo_frames_per_s", rate, "frames/s");
  metric("simnode_event_pdo_expected_frames_per_s", expected, "frames/s");
  metric("simnode_event_pdo_pace", 100.0 * rate / expected, "%");
}

}  // namespace

int main() {
  sdoLatencyInNode();
  sdoRoundTripThroughHost();
  eventPdosKeepPace();
  return 0;
}
