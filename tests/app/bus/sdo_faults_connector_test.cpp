// The connector's own SDO client (readObject / writeObject) against a
// simulated Mirelo on a bus that drops, repeats and delays frames and carries
// foreign traffic: a transfer may fail with a code, but never reports a value
// the node does not hold.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "SdoFaultRun.h"
#include "BusTestSupport.h"
#include "ConnectorSdoClient.h"
#include "DLLConnector.h"

namespace {

using namespace bustest;
using kestrum::sim::NodeHost;
using kestrum::sim::test::connectorClient;
using kestrum::sim::test::faultyBus;
using kestrum::sim::test::SdoFaultRun;
using kestrum::sim::test::Tally;
namespace fs = std::filesystem;

// Late frames come at most 20 ms after their time.
constexpr std::uint32_t kTimeoutMs = 60;




class ConnectorOnFaultyBus : public ::testing::Test {
 protected:
  void SetUp() override {
    DLLConnector::setShutdownPause(10ms);
    stateDir = fs::temp_directory_path() / ("kestrum-faults-" + std::to_string(::getpid()));
    fs::create_directories(stateDir);
    host = std::make_unique<NodeHost>(world.bus, ".", stateDir.string());
    std::string error;
    ASSERT_TRUE(run.setUp(*host, error)) << error;
    connector = std::make_unique<DLLConnector>(world.loader);
    ASSERT_TRUE(connector->init_canW(SdoFaultRun::kNode, 1000, -1, -1, true, firstBusChannel, nullptr));
  }
  void TearDown() override {
    world.bus.setFaults({});
    connector.reset();
    host.reset();
    fs::remove_all(stateDir);
  }
  BusWorld& world = BusWorld::get();
  fs::path stateDir;
  std::unique_ptr<NodeHost> host;
  SdoFaultRun run;
  std::unique_ptr<DLLConnector> connector;
};

TEST_F(ConnectorOnFaultyBus, EveryTransferIsRightOrFailsWithACodeAndAllSucceedOnceTheFaultsStop) {
  const std::uint64_t seed = getenv("SDO_FAULT_SEED") ? std::strtoull(getenv("SDO_FAULT_SEED"), nullptr, 0) : 7;
  world.bus.setFaults(faultyBus(seed));
  const Tally faulty = run.run(connectorClient(*connector, kTimeoutMs), 300);
  world.bus.setFaults({});
  SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with SDO_FAULT_SEED)");
  EXPECT_EQ(faulty.wrong, 0) << faulty.describe();
  EXPECT_EQ(faulty.transfers, 300);
  EXPECT_LE(faulty.unheld, 3) << faulty.describe();
  // One attempt each: a lost request or answer fails the transfer, so about
  // a tenth of the expedited ones and more of the six-segment ones fail.
  EXPECT_LE(faulty.failed(), 120) << faulty.describe();

  (void)kestrum::test::processUntil([] { return false; }, 60ms);  // the last late frames arrive
  const Tally clean = run.run(connectorClient(*connector, kTimeoutMs), 60, 100000);
  EXPECT_EQ(clean.wrong + clean.unheld, 0) << clean.describe();
  EXPECT_EQ(clean.failed(), 0) << clean.describe();
}

}  // namespace
