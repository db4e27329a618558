// Firmware download (flash_firmware, 85 blocks) against the simulated
// controller's bootloader on a bus paced at 1000 kbit/s, reached through the
// stand-ins as the application reaches a real adapter.
//
// Baseline, measured in the same run: the bus time of the frames the download
// put on the wire (from the data COB-ID write to the leave command, counted
// by the all-frames callback, each frame's real bit count) plus the simulated
// programming time of 85 blocks plus the 200 ms pause the bootloader gets
// after the data COB-ID. The download should stay within 1.3 x that bound.
//
// Then the same download with 1 % of all frames dropped by the bus: it either
// completes through the retries or fails with the node left in its
// bootloader, and a download on the healed bus must then succeed.
// Run from the application folder (bench/run.sh does): loads ./libVarnex.so.

#include "BenchReport.h"
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "VarnexApi.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/Bootloader.h"
#include "node/NodeHost.h"

namespace {

using kestrum::bench::metric;
using kestrum::sim::Bootloader;
using kestrum::sim::CanFrame;
using kestrum::sim::NodeHost;
using kestrum::sim::SimNode;
using kestrum::sim::VirtualBus;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kNode = 1;
constexpr unsigned kKbit = 1000;
constexpr std::uint64_t kFlashUsPerBlock = 20000;  // the simulator's programming time per block
const char* const kImage = "Firmware/Firmware_V2.20.hex";

// The download phase as the all-frames callback sees it: from the write of
// the data COB-ID (0x3000 sub 31) to the leave command (sub 1 := 4).
std::atomic<bool> inPhase{false};
std::atomic<std::uint64_t> phaseBits{0}, phaseFrames{0};
std::atomic<std::int64_t> phaseStartNs{0}, phaseEndNs{0};

std::int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

void onFrame(std::uint8_t* data, std::uint32_t&, std::uint16_t& id, std::uint8_t& dlc, bool& transmitted) {
  const bool bootWrite = transmitted && id == 0x600 + kNode && data[1] == 0x00 && data[2] == 0x30;
  if (bootWrite && data[3] == 31) {
    phaseStartNs = nowNs();
    inPhase = true;
  }
  if (!inPhase) return;
  CanFrame f;
  f.id = id;
  f.dlc = dlc;
  std::copy(data, data + 8, f.data);
  phaseBits += VirtualBus::frameBits(f);
  ++phaseFrames;
  if (bootWrite && data[3] == 1 && data[4] == 4) {
    phaseEndNs = nowNs();
    inPhase = false;
  }
}

struct Api {
  PFN_init_can init_can;
  PFN_flash_firmware flash_firmware;
  PFN_flash_progress flash_progress;
  PFN_setGetAllCallback setGetAllCallback;
};

struct Run {
  int result;
  double seconds;
  int blocks;
};

Run download(const Api& api) {
  phaseBits = phaseFrames = 0;
  phaseStartNs = phaseEndNs = 0;
  inPhase = false;
  const auto t0 = Clock::now();
  const int result = api.flash_firmware(kImage);
  return {result, std::chrono::duration<double>(Clock::now() - t0).count(), api.flash_progress()};
}

}  // namespace

int main() {
  VirtualBus bus(kKbit);
  kestrum::sim::SocketcandServer server(bus);
  std::string error;
  if (!server.start("127.0.0.1", 0, error)) {
    std::fprintf(stderr, "server: %s\n", error.c_str());
    return 1;
  }
  const std::string stateDir = std::filesystem::temp_directory_path() / ("firmware-bench-" + std::to_string(::getpid()));
  NodeHost host(bus, ".", stateDir);
  if (!host.addNode(kNode, "Mirelo", error)) {
    std::fprintf(stderr, "node: %s\n", error.c_str());
    return 1;
  }
  host.withNode(kNode, [](SimNode& n, std::uint64_t) { n.behaviour<Bootloader>()->setFlashUsPerBlock(kFlashUsPerBlock); });
  setenv("KESTRUM_BUS", server.entry().c_str(), 1);
  void* lib = dlopen("./libVarnex.so", RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  const Api api{reinterpret_cast<PFN_init_can>(dlsym(lib, "init_can")),
                reinterpret_cast<PFN_flash_firmware>(dlsym(lib, "flash_firmware")),
                reinterpret_cast<PFN_flash_progress>(dlsym(lib, "flash_progress")),
                reinterpret_cast<PFN_setGetAllCallback>(dlsym(lib, "setGetAllCallback"))};
  if (!api.init_can || !api.flash_firmware || !api.flash_progress || !api.setGetAllCallback) {
    std::fprintf(stderr, "libVarnex.so lacks a function\n");
    return 1;
  }
  api.init_can(kNode, static_cast<int>(kKbit), -1, -1, true, 0, nullptr);
  api.setGetAllCallback(&onFrame);

  const Run clean = download(api);
  const double phase = double(phaseEndNs - phaseStartNs) / 1e9;
  const double busSeconds = double(phaseBits) / (kKbit * 1000.0);
  const double bound = busSeconds + 85 * kFlashUsPerBlock / 1e6 + 0.200;
  metric("firmware_download_result", clean.result, "code");
  metric("firmware_download_total", clean.seconds, "s");
  metric("firmware_download_phase", phase, "s");
  metric("firmware_download_phase_frames", double(phaseFrames), "frames");
  metric("firmware_download_bus_time", busSeconds, "s");
  metric("firmware_download_bound", bound, "s");
  metric("firmware_download_phase_over_bound", phase / bound, "ratio");

  kestrum::sim::FaultConfig faults;
  faults.drop = 0.01;
  faults.seed = 7;
  bus.setFaults(faults);
  const Run lossy = download(api);
  metric("firmware_download_1pct_drop_result", lossy.result, "code");
  metric("firmware_download_1pct_drop_time", lossy.seconds, "s");
  metric("firmware_download_1pct_drop_blocks", lossy.blocks, "blocks");
  bool inBootloader = false;
  host.withNode(kNode, [&](SimNode& n, std::uint64_t) { inBootloader = n.behaviour<Bootloader>()->running(); });
  metric("firmware_download_1pct_drop_left_in_bootloader", inBootloader ? 1 : 0, "bool");

  bus.setFaults({});
  const Run recovery = download(api);
  metric("firmware_download_recovery_result", recovery.result, "code");
  metric("firmware_download_recovery_time", recovery.seconds, "s");

  api.setGetAllCallback(nullptr);
  std::filesystem::remove_all(stateDir);
  return clean.result == 1 && recovery.result == 1 && (lossy.result == 1 || inBootloader) ? 0 : 1;
}
