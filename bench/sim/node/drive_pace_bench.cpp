// Simulated drives in motion: does the host deliver each drive's 1 ms tick on
// time with sixteen of them moving at once, and what share of a CPU core does
// that cost? A bus port time-stamps every drive's position PDO (sent on
// change, so once per tick while the drive moves); a gap of more than 2 ms
// between two of them means a tick came more than 1 ms late. One moving drive
// and sixteen idle ones, measured in the same run, are the baselines. Run in
// the application folder (it reads XML/EDS_Mirelo.xml).

#include <sys/resource.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "BenchReport.h"
#include "PdoMapping.h"
#include "node/NodeHost.h"

using namespace kestrum::sim;
using Clock = std::chrono::steady_clock;

namespace {

using kestrum::bench::metric;

constexpr auto kRun = std::chrono::seconds(5);
// Long enough for every drive to be at its cruise velocity.
constexpr auto kSettle = std::chrono::milliseconds(500);
constexpr std::uint32_t kLateGapUs = 2000;

std::string dataDir() {
  if (std::filesystem::exists("XML/EDS_Mirelo.xml")) return ".";
  return NodeHost::executableDir() + "/../bin";
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// The master's side of the bus: expedited SDO downloads, and the arrival
// times of the drives' position PDOs.
struct Master : BusPort {
  VirtualBus& bus;
  std::mutex mutex;
  std::condition_variable answered;
  std::array<int, 128> sdoAnswer{};  // command byte of the last answer, -1 none

  std::atomic<bool> recording{false};
  std::array<std::atomic<std::int64_t>, 128> lastNs{};
  std::array<std::atomic<std::uint32_t>, 128> positionPdos{};
  std::atomic<std::uint64_t> lateTicks{0};
  std::atomic<std::uint64_t> maxGapUs{0};
  std::atomic<std::uint64_t> tpdos{0};

  explicit Master(VirtualBus& b) : bus(b) { sdoAnswer.fill(-1); }

  void deliver(const CanFrame& f) override {
    if (f.id > 0x580 && f.id < 0x600) {
      std::lock_guard<std::mutex> lock(mutex);
      sdoAnswer[f.id - 0x580] = f.data[0];
      answered.notify_all();
      return;
    }
    if (f.id <= 0x180 || f.id >= 0x500 || !recording.load(std::memory_order_relaxed)) return;
    tpdos.fetch_add(1, std::memory_order_relaxed);
    if (f.id >= 0x200) return;
    // Transmit PDO 1 carries the position.
    const auto node = f.id - 0x180;
    const std::int64_t now = Clock::now().time_since_epoch().count();
    const std::int64_t last = lastNs[node].exchange(now, std::memory_order_relaxed);
    positionPdos[node].fetch_add(1, std::memory_order_relaxed);
    if (last == 0) return;
    const auto gapUs = std::uint64_t(now - last) / 1000;
    if (gapUs > kLateGapUs) lateTicks.fetch_add(1, std::memory_order_relaxed);
    std::uint64_t max = maxGapUs.load(std::memory_order_relaxed);
    while (gapUs > max && !maxGapUs.compare_exchange_weak(max, gapUs, std::memory_order_relaxed)) {
    }
  }

  void download(std::uint8_t node, std::uint16_t index, std::uint8_t sub, std::uint32_t value, int size) {
    CanFrame f;
    f.id = 0x600u + node;
    f.dlc = 8;
    f.data[0] = std::uint8_t(0x23 | (4 - size) << 2);
    f.data[1] = std::uint8_t(index);
    f.data[2] = std::uint8_t(index >> 8);
    f.data[3] = sub;
    for (int i = 0; i < 4; ++i) f.data[4 + i] = std::uint8_t(value >> (8 * i));
    std::unique_lock<std::mutex> lock(mutex);
    sdoAnswer[node] = -1;
    lock.unlock();
    bus.submit(this, f);
    lock.lock();
    if (!answered.wait_for(lock, std::chrono::seconds(5), [&] { return sdoAnswer[node] != -1; }))
      fail("no SDO answer from node " + std::to_string(node));
    if (sdoAnswer[node] != 0x60) {
      char text[96];
      std::snprintf(text, sizeof text, "node %u refused 0x%04X:%u", unsigned(node), unsigned(index), unsigned(sub));
      fail(text);
    }
  }

  void startRecording() {
    for (auto& t : lastNs) t.store(0, std::memory_order_relaxed);
    for (auto& n : positionPdos) n.store(0, std::memory_order_relaxed);
    lateTicks.store(0);
    maxGapUs.store(0);
    tpdos.store(0);
    recording.store(true);
  }
};

// Four transmit PDOs sent on change: statusword and position actual value,
// velocity actual value, modes of operation display, digital inputs.
void mapTransmitPdos(NodeHost& host, std::uint8_t id) {
  if (!kestrum::bench::mapTransmitPdos(host, id, {{0x60410010, 0x60640020}, {0x606C0020}, {0x60610008}, {0x60FD0020}}, 0))
    fail("the node refused its PDO mapping");
}

// Profile position towards a target it will not reach within the run.
void startMoving(Master& master, std::uint8_t id) {
  master.download(id, 0x6060, 0, 1, 1);          // profile position
  master.download(id, 0x6081, 0, 100000, 4);     // profile velocity
  master.download(id, 0x6083, 0, 1000000, 4);    // acceleration
  master.download(id, 0x6084, 0, 1000000, 4);    // deceleration
  master.download(id, 0x607A, 0, 0x3FFFFFFF, 4); // target
  for (std::uint32_t cw : {0x06u, 0x07u, 0x0Fu, 0x1Fu}) master.download(id, 0x6040, 0, cw, 2);
  master.download(id, 0x6040, 0, 0x0F, 2);  // set-point taken: the handshake bit goes back
}

struct Figures {
  double latePerSecond = 0;
  double maxGapMs = 0;
  double positionPdosPerSecond = 0;
  double tpdosPerSecond = 0;
  double cpuShare = 0;
};

Figures run(int drives, bool moving) {
  VirtualBus bus;
  NodeHost host(bus, dataDir(), "");
  Master master(bus);
  bus.attach(&master);
  std::string error;
  for (int id = 1; id <= drives; ++id) {
    if (!host.addNode(std::uint8_t(id), "Mirelo", error)) fail(error);
    mapTransmitPdos(host, std::uint8_t(id));
  }
  CanFrame start;
  start.dlc = 2;
  start.data[0] = 0x01;  // NMT start, all nodes
  bus.submit(&master, start);
  if (moving)
    for (int id = 1; id <= drives; ++id) startMoving(master, std::uint8_t(id));
  std::this_thread::sleep_for(kSettle);

  master.startRecording();
  const double cpu0 = cpuSeconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(kRun);
  master.recording.store(false);
  const double cpu = cpuSeconds() - cpu0;
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  bus.detach(&master);

  if (moving)
    for (int id = 1; id <= drives; ++id)
      if (master.positionPdos[std::size_t(id)].load() < 100) fail("drive " + std::to_string(id) + " is not moving");
  std::uint64_t positions = 0;
  for (const auto& n : master.positionPdos) positions += n.load();
  Figures f;
  f.latePerSecond = double(master.lateTicks.load()) / seconds;
  f.maxGapMs = double(master.maxGapUs.load()) / 1000.0;
  f.positionPdosPerSecond = double(positions) / seconds;
  f.tpdosPerSecond = double(master.tpdos.load()) / seconds;
  f.cpuShare = 100.0 * cpu / seconds;
  return f;
}

void report(const std::string& name, const Figures& f, bool moving) {
  auto m = [&](const char* what, double value, const char* unit) {
    metric(("simdrive_" + name + "_" + what).c_str(), value, unit);
  };
  if (moving) {
    m("late_ticks_per_s", f.latePerSecond, "1/s");
    m("max_tick_gap", f.maxGapMs, "ms");
    m("late_tick_share", f.positionPdosPerSecond > 0 ? 100.0 * f.latePerSecond / f.positionPdosPerSecond : 0, "%");
    m("position_pdos_per_s", f.positionPdosPerSecond, "frames/s");
    // The other three PDOs hold values that stay put at cruise velocity: few frames.
    m("tpdos_per_s", f.tpdosPerSecond, "frames/s");
  }
  m("cpu_share", f.cpuShare, "%");
}

}  // namespace

int main() {
  report("16_moving", run(16, true), true);
  report("1_moving", run(1, true), true);
  report("16_idle", run(16, false), false);
  return 0;
}
