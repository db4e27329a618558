// send_SDO / recv_SDO through the C interface against a simulated Mirelo on
// a bus that drops, repeats and delays frames and carries foreign traffic:
// a transfer may fail, but never reports a value the node does not hold.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "SdoFaultRun.h"
#include "VarnexTestSupport.h"

namespace {

using namespace varnex_test;
using kestrum::sim::NodeHost;
using kestrum::sim::test::faultyBus;
using kestrum::sim::test::libraryClient;
using kestrum::sim::test::SdoFaultRun;
using kestrum::sim::test::Tally;
namespace fs = std::filesystem;



class LibraryOnFaultyBus : public VarnexInterface {
 protected:
  void SetUp() override {
    VarnexInterface::SetUp();
    stateDir = fs::temp_directory_path() / ("varnex-faults-" + std::to_string(::getpid()));
    fs::create_directories(stateDir);
    host = std::make_unique<NodeHost>(w.busB, ".", stateDir.string());
    std::string error;
    ASSERT_TRUE(run.setUp(*host, error)) << error;
    ASSERT_TRUE(openIxxat(SdoFaultRun::kNode));
    // Late frames come at most 20 ms after their time: 50 ms per attempt
    // keeps a lost frame from costing the default 100.
    api.set_timeout(50);
  }
  void TearDown() override {
    w.busB.setFaults({});
    VarnexInterface::TearDown();
    host.reset();
    fs::remove_all(stateDir);
  }
  std::filesystem::path stateDir;
  std::unique_ptr<NodeHost> host;
  SdoFaultRun run;
};

TEST_F(LibraryOnFaultyBus, EveryTransferIsRightOrFailsAndAllSucceedOnceTheFaultsStop) {
  const std::uint64_t seed = getenv("SDO_FAULT_SEED") ? std::strtoull(getenv("SDO_FAULT_SEED"), nullptr, 0) : 7;
  w.busB.setFaults(faultyBus(seed));
  const Tally faulty = run.run(libraryClient(api), 300);
  w.busB.setFaults({});
  SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with SDO_FAULT_SEED)");
  EXPECT_EQ(faulty.wrong, 0) << faulty.describe();
  EXPECT_EQ(faulty.transfers, 300);
  EXPECT_LE(faulty.unheld, 3) << faulty.describe();
  // Three attempts each: only a frame lost three times over fails a transfer.
  EXPECT_LE(faulty.failed(), 6) << faulty.describe();

  std::this_thread::sleep_for(50ms);  // the last late frames arrive
  const Tally clean = run.run(libraryClient(api), 60, 100000);
  EXPECT_EQ(clean.wrong + clean.unheld, 0) << clean.describe();
  EXPECT_EQ(clean.failed(), 0) << clean.describe();
}

// A late or repeated answer of the other kind for the same object arrives
// before the real one: only an answer of the kind asked for ends the wait.
TEST_F(VarnexInterface, AnAnswerOfTheOtherKindForTheSameObjectIsNotTheAnswer) {
  struct Case {
    const char* what;
    bool upload;
    std::vector<std::vector<std::uint8_t>> answers;  // bytes 0 and 4..7; bytes 1..3 echo the request
    bool ok;
    std::int32_t value;
  };
  const std::vector<Case> cases = {
      {"upload: stale download acknowledge, then the value", true, {{0x60, 0, 0, 0, 0}, {0x43, 0x78, 0x56, 0x34, 0x12}},
       true, 0x12345678},
      {"upload: only a stale download acknowledge", true, {{0x60, 0, 0, 0, 0}}, false, 0},
      {"upload: a segment answer", true, {{0x00, 1, 2, 3, 4}}, false, 0},
      {"download: only a stale upload answer", false, {{0x4B, 0x34, 0x12, 0, 0}}, false, 0},
      {"download: stale upload answer, then the acknowledge", false, {{0x4B, 0x34, 0x12, 0, 0}, {0x60, 0, 0, 0, 0}},
       true, 0},
      {"download: abort", false, {{0x80, 0, 0, 2, 6}}, false, 0},
  };
  Node node(w.busB);
  ASSERT_TRUE(openIxxat(5));
  api.set_timeout(30);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    node.setRule([&](const CanFrame& f, Node& n) {
      if (f.id != 0x605) return;
      for (const auto& a : c.answers) n.send(0x585, {a[0], f.data[1], f.data[2], f.data[3], a[1], a[2], a[3], a[4]});
    });
    std::uint8_t length = 0;
    std::int32_t value = 0;
    const bool ok = c.upload ? api.recv_SDO(0x2001, 3, &length, &value) : api.send_SDO(0x2001, 3, 4, 0x55);
    EXPECT_EQ(ok, c.ok);
    if (c.upload && c.ok) {
      EXPECT_EQ(value, c.value);
    }
  }
}

}  // namespace
