// SDO transfers on a faulty bus against a simulated Mirelo, through the
// library's C interface (send_SDO / recv_SDO, expedited only) and through
// the connector's own client (readObject / writeObject, with segmented
// uploads): wrong values, downloads not held, failures by code and the time
// per transfer, with the same run on a clean bus as the baseline. Then the
// same faults plus bit flips (--corrupt), which a real bus's CRC would
// catch: what they let through is reported apart.
//
// SDO_FAULT_TRANSFERS (default 10000) and SDO_FAULT_SEED (default 7) set the
// run. Run from the application folder (bench/run.sh does).
#include "BenchReport.h"

// Before any Qt header: the simulated node has a method named like Qt's
// `emit` keyword macro.
#include "SdoFaultRun.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <thread>

#include "BusTestSupport.h"
#include "ConnectorSdoClient.h"
#include "DLLConnector.h"
#include "VarnexApi.h"

using namespace bustest;
using kestrum::bench::metric;
using kestrum::bench::percentile;
using kestrum::sim::FaultConfig;
using kestrum::sim::NodeHost;
using kestrum::sim::test::connectorClient;
using kestrum::sim::test::faultyBus;
using kestrum::sim::test::libraryClient;
using kestrum::sim::test::SdoClient;
using kestrum::sim::test::SdoFaultRun;
using kestrum::sim::test::Tally;

namespace {

constexpr std::uint32_t kTimeoutMs = 60;  // late frames come at most 20 ms after their time

void report(const std::string& prefix, const Tally& t) {
  metric((prefix + "transfers").c_str(), t.transfers, "transfers");
  metric((prefix + "wrong_values").c_str(), t.wrong, "transfers");
  metric((prefix + "downloads_not_held").c_str(), t.unheld, "transfers");
  metric((prefix + "failed").c_str(), t.failed(), "transfers");
  for (const auto& f : t.failures) metric((prefix + "failed_code_" + f.first).c_str(), f.second, "transfers");
  for (const auto& k : t.microseconds) {
    const double mean = std::accumulate(k.second.begin(), k.second.end(), 0.0) / double(k.second.size());
    metric((prefix + k.first + "_mean").c_str(), mean, "us");
    metric((prefix + k.first + "_p50").c_str(), percentile(k.second, 0.50), "us");
    metric((prefix + k.first + "_p99").c_str(), percentile(k.second, 0.99), "us");
  }
  for (const auto& d : t.wrongDetails) std::fprintf(stderr, "%s%s\n", prefix.c_str(), d.c_str());
}



struct Library {
  PFN_init_can init_can;
  PFN_terminate_can terminate_can;
  PFN_set_timeout set_timeout;
  PFN_send_SDO send_SDO;
  PFN_recv_SDO recv_SDO;
};


/// The clean baseline, the faulty run, then faults with bit flips.
void measure(const std::string& name, VirtualBus& bus, SdoFaultRun& run, const SdoClient& client, int count,
             std::uint64_t seed, const std::function<void()>& settle) {
  report(name + "_clean_", run.run(client, count / 10, 1));
  bus.setFaults(faultyBus(seed));
  report(name + "_faulty_", run.run(client, count, 1000000));
  bus.setFaults({});
  settle();
  FaultConfig corrupt = faultyBus(seed);
  corrupt.corrupt = 0.05;
  bus.setFaults(corrupt);
  report(name + "_corrupt_", run.run(client, count / 5, 2000000));
  bus.setFaults({});
  settle();
  report(name + "_after_", run.run(client, count / 20, 3000000));
}

}  // namespace

int main() {
  const int count = getenv("SDO_FAULT_TRANSFERS") ? std::atoi(getenv("SDO_FAULT_TRANSFERS")) : 10000;
  const std::uint64_t seed = getenv("SDO_FAULT_SEED") ? std::strtoull(getenv("SDO_FAULT_SEED"), nullptr, 0) : 7;
  metric("sdo_faults_seed", double(seed), "seed");
  BusWorld& world = BusWorld::get();
  const auto stateDir = std::filesystem::temp_directory_path() / ("kestrum-faults-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(stateDir);
  int status = 0;
  {
    NodeHost host(world.bus, ".", stateDir.string());
    SdoFaultRun run;
    std::string error;
    if (!run.setUp(host, error)) {
      std::fprintf(stderr, "node: %s\n", error.c_str());
      return 1;
    }

    // The library the connector loaded, called directly.
    void* lib = dlopen("./libVarnex.so", RTLD_NOW | RTLD_NOLOAD);
    if (!lib) {
      std::fprintf(stderr, "%s\n", dlerror());
      return 1;
    }
    Library api{reinterpret_cast<PFN_init_can>(dlsym(lib, "init_can")),
                reinterpret_cast<PFN_terminate_can>(dlsym(lib, "terminate_can")),
                reinterpret_cast<PFN_set_timeout>(dlsym(lib, "set_timeout")),
                reinterpret_cast<PFN_send_SDO>(dlsym(lib, "send_SDO")),
                reinterpret_cast<PFN_recv_SDO>(dlsym(lib, "recv_SDO"))};
    api.init_can(SdoFaultRun::kNode, 1000, -1, -1, true, firstBusChannel, nullptr);
    api.set_timeout(50);
    measure("sdo_varnex", world.bus, run, libraryClient(api), count, seed,
            [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); });
    api.set_timeout(100);
    api.terminate_can();

    DLLConnector::setShutdownPause(std::chrono::milliseconds(10));
    DLLConnector connector(world.loader);
    if (!connector.init_canW(SdoFaultRun::kNode, 1000, -1, -1, true, firstBusChannel, nullptr)) status = 1;
    measure("sdo_connector", world.bus, run, connectorClient(connector, kTimeoutMs), count, seed,
            [] { (void)kestrum::test::processUntil([] { return false; }, std::chrono::milliseconds(60)); });
  }
  std::filesystem::remove_all(stateDir);
  return status;
}
