// Cost of the stand-in layers: frames from a PCAN-Basic channel to a VCI
// message channel over the virtual bus, against the same traffic between two
// bare socketcand transports measured in the same run.
//
// Run from the application folder (bench/run.sh does), where the stand-ins are.

#include "BenchReport.h"
#include "StandIns.h"
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "PCANBasic.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "transport/SocketcandTransport.h"
#include "vcinpl.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;

using Clock = std::chrono::steady_clock;
constexpr int kLatencyRounds = 300;
constexpr int kBurst = 5000;

// One-way latency (median, µs) and burst throughput (frames/s) of a sender and
// a blocking receiver.
template <class Send, class Receive>
void measure(const char* prefix, Send send, Receive receive) {
  std::vector<double> latency;
  for (int i = 0; i < kLatencyRounds; ++i) {
    const auto start = Clock::now();
    if (!send(i) || !receive()) {
      std::fprintf(stderr, "%s: frame %d lost\n", prefix, i);
      std::exit(1);
    }
    latency.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  const auto start = Clock::now();
  std::thread sender([&] {
    for (int i = 0; i < kBurst; ++i) send(i);
  });
  int received = 0;
  while (received < kBurst && receive()) ++received;
  sender.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  metric((std::string(prefix) + "_latency").c_str(), percentile(latency, 0.5), "us");
  metric((std::string(prefix) + "_throughput").c_str(), received / seconds, "frames/s");
}

}  // namespace

int main() {
  kestrum::sim::VirtualBus bus;
  kestrum::sim::SocketcandServer server(bus);
  std::string error;
  if (!server.start("127.0.0.1", 0, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  ::setenv("KESTRUM_BUS", server.entry().c_str(), 1);

  // Baseline: two bare transports.
  kestrum::transport::SocketcandTransport tx("127.0.0.1", server.port(), "can0"), rx("127.0.0.1", server.port(), "can0");
  if (!tx.open(error) || !rx.open(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  measure(
      "bare_transport",
      [&](int i) {
        kestrum::transport::CanFrame f;
        f.id = 0x181;
        f.dlc = 8;
        f.data[0] = static_cast<std::uint8_t>(i);
        std::string e;
        return tx.send(f, e);
      },
      [&] {
        kestrum::transport::CanFrame f;
        return rx.read(f, 2000) == kestrum::transport::ReadStatus::Frame;
      });
  tx.close();
  rx.close();

  void* pcan = ::dlopen("./libpcanbasic.so", RTLD_NOW);
  void* vci = ::dlopen("./libvcinpl.so", RTLD_NOW);
  if (!pcan || !vci) {
    std::fprintf(stderr, "stand-ins not found in the working directory: %s\n", ::dlerror());
    return 1;
  }
  auto canInitialize = bench::bind<PFN_CAN_Initialize>(pcan, "CAN_Initialize");
  auto canWrite = bench::bind<PFN_CAN_Write>(pcan, "CAN_Write");
  if (canInitialize(PCAN_USBBUS1, PCAN_BAUD_1M, 0, 0, 0) != PCAN_ERROR_OK) return 1;

  const bench::VciLine line = bench::openVciLine(vci);
  HANDLE channel = line.channel;
  if (!channel) return 1;
  auto readMessage = bench::bind<PF_canChannelReadMessage>(vci, "canChannelReadMessage");

  measure(
      "pcan_to_vci",
      [&](int i) {
        TPCANMsg msg{0x181, PCAN_MESSAGE_STANDARD, 8, {static_cast<BYTE>(i)}};
        return canWrite(PCAN_USBBUS1, &msg) == PCAN_ERROR_OK;
      },
      [&] {
        CANMSG msg;
        return readMessage(channel, 2000, &msg) == VCI_OK;
      });
  return 0;
}
