// Network management, error handling, persistence and identity of one node.
#include <filesystem>
#include <fstream>

#include "NodeFixture.h"
#include "canopen/Orvane.h"

namespace kestrum::sim::test {
namespace {

namespace fs = std::filesystem;
using SimNodeTest = NodeFixture;

constexpr std::uint32_t kSave = 0x65766173;
constexpr std::uint32_t kLoad = 0x64616F6C;

TEST_F(SimNodeTest, NmtCommandsMoveThroughTheStates) {
  ASSERT_EQ(out.size(), 1u);  // boot-up on power-on
  EXPECT_EQ(out[0].id, 0x705u);
  EXPECT_EQ(out[0].dlc, 1);
  EXPECT_EQ(out[0].data[0], 0);
  EXPECT_EQ(node->nmtState(), NmtState::PreOperational);

  nmt(0x01, 6);  // another node's command
  EXPECT_EQ(node->nmtState(), NmtState::PreOperational);
  nmt(0x01);
  EXPECT_EQ(node->nmtState(), NmtState::Operational);
  nmt(0x02, 0);  // all nodes
  EXPECT_EQ(node->nmtState(), NmtState::Stopped);

  out.clear();
  send(0x605, {0x40, 0x41, 0x60, 0x00, 0, 0, 0, 0});
  EXPECT_TRUE(out.empty()) << "a stopped node does not answer SDO";
  node->raiseEmergency(0x5000, now);
  EXPECT_TRUE(out.empty()) << "nor send EMCY";
  remote(0x705);
  ASSERT_EQ(out.size(), 1u) << "but it answers guarding";
  EXPECT_EQ(out[0].data[0] & 0x7F, 4);

  send(0, {0x80});  // too short: ignored
  send(0, {0x55, kId});  // unknown command: ignored
  EXPECT_EQ(node->nmtState(), NmtState::Stopped);
  nmt(0x80);
  EXPECT_EQ(node->nmtState(), NmtState::PreOperational);
  EXPECT_EQ(upload(0x6041, 0), 0x0250u);

  out.clear();
  nmt(0x82);
  ASSERT_EQ(framesWithId(0x705).size(), 1u);
  EXPECT_EQ(node->nmtState(), NmtState::PreOperational);
}

TEST_F(SimNodeTest, ResetsBringBackTheirRangeOfValues) {
  ASSERT_EQ(download(0x2000, 0, 200, 2), 0u);
  ASSERT_EQ(download(0x1017, 0, 100, 2), 0u);
  nmt(0x82);  // communication parameters only
  EXPECT_EQ(value(0x1017, 0), 0);
  EXPECT_EQ(value(0x2000, 0), 200);
  nmt(0x81);
  EXPECT_EQ(value(0x2000, 0), 100);
}

TEST_F(SimNodeTest, HeartbeatFollowsItsPeriodAndReportsTheState) {
  ASSERT_EQ(download(0x1017, 0, 100, 2), 0u);
  out.clear();
  advanceMs(1000);
  auto beats = framesWithId(0x705);
  EXPECT_EQ(beats.size(), 10u);
  for (const CanFrame& f : beats) EXPECT_EQ(f.data[0], 127);
  nmt(0x01);
  out.clear();
  advanceMs(100);
  ASSERT_EQ(framesWithId(0x705).size(), 1u);
  EXPECT_EQ(framesWithId(0x705)[0].data[0], 5);
  ASSERT_EQ(download(0x1017, 0, 0, 2), 0u);
  out.clear();
  advanceMs(500);
  EXPECT_TRUE(out.empty());
}

TEST_F(SimNodeTest, GuardingAnswersToggleAndLifeGuardingWatchesTheMaster) {
  std::vector<int> answers;
  for (int i = 0; i < 3; ++i) {
    out.clear();
    remote(0x705);
    ASSERT_EQ(out.size(), 1u);
    answers.push_back(out[0].data[0]);
  }
  EXPECT_EQ(answers, (std::vector<int>{0x7F, 0xFF, 0x7F}));
  nmt(0x82);  // the toggle starts again at 0
  out.clear();
  remote(0x705);
  EXPECT_EQ(out.at(0).data[0], 0x7F);

  ASSERT_EQ(download(0x100C, 0, 100, 2), 0u);
  ASSERT_EQ(download(0x100D, 0, 3, 1), 0u);
  remote(0x705);
  out.clear();
  advanceMs(250);
  remote(0x705);  // in time
  advanceMs(250);
  EXPECT_TRUE(framesWithId(0x85).empty());
  advanceMs(100);
  ASSERT_EQ(framesWithId(0x85).size(), 1u);
  EXPECT_EQ(framesWithId(0x85)[0].data[0], 0x30);
  EXPECT_EQ(framesWithId(0x85)[0].data[1], 0x81);
}

TEST_F(SimNodeTest, EmergencyFillsRegisterAndHistoryNewestFirst) {
  out.clear();
  node->raiseEmergency(0x3100, now, 5);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].id, 0x85u);
  EXPECT_EQ(std::vector<int>(out[0].data, out[0].data + 8), (std::vector<int>{0x00, 0x31, 0x05, 0x05, 0, 0, 0, 0}));
  EXPECT_EQ(value(0x1001, 0), 0x05);
  EXPECT_EQ(value(0x603F, 0), 0x3100);
  node->raiseEmergency(0x2310, now);
  EXPECT_EQ(value(0x1001, 0), 0x07);
  EXPECT_EQ(upload(0x1003, 0), 2u);
  EXPECT_EQ(upload(0x1003, 1), 0x2310u);
  EXPECT_EQ(upload(0x1003, 2), 0x00053100u);
  for (std::uint16_t code : {0x4210, 0x5000, 0xFF01}) node->raiseEmergency(code, now);
  EXPECT_EQ(upload(0x1003, 0), 4u);  // full: the oldest fell off
  EXPECT_EQ(upload(0x1003, 1), 0xFF01u);
  EXPECT_EQ(upload(0x1003, 4), 0x2310u);

  EXPECT_EQ(download(0x1003, 0, 2, 1), sdo_abort::kRange);
  EXPECT_EQ(download(0x1003, 1, 0), sdo_abort::kReadOnly);
  EXPECT_EQ(download(0x1003, 0, 0, 1), 0u);
  EXPECT_EQ(upload(0x1003, 0), 0u);
  EXPECT_EQ(upload(0x1003, 1), 0u);

  out.clear();
  node->raiseEmergency(0, now);  // error reset
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data[2], 0);
  EXPECT_EQ(value(0x1001, 0), 0);

  // An invalid EMCY COB-ID silences emergencies; its identifier only changes while invalid.
  EXPECT_EQ(download(0x1014, 0, 0x95), sdo_abort::kRange);
  ASSERT_EQ(download(0x1014, 0, 0x80000085u), 0u);
  out.clear();
  node->raiseEmergency(0x3100, now);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(download(0x1014, 0, 0x95), 0u);
  out.clear();
  node->raiseEmergency(0x3100, now);
  EXPECT_EQ(framesWithId(0x95).size(), 1u);
}

class StoreTest : public NodeFixture {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kestrum-node-test-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    make((dir / "node5.state").string());
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(StoreTest, StoredValuesSurvivePowerCycleAndRestart) {
  ASSERT_EQ(download(0x2000, 0, 200, 2), 0u);
  ASSERT_EQ(download(0x6081, 0, 5000), 0u);
  ASSERT_EQ(download(0x1017, 0, 250, 2), 0u);
  EXPECT_EQ(download(0x1010, 1, 0x12345678), sdo_abort::kStore);
  EXPECT_FALSE(fs::exists(dir / "node5.state"));
  ASSERT_EQ(download(0x1010, 1, kSave), 0u);
  ASSERT_EQ(download(0x2000, 0, 300, 2), 0u);  // not saved
  node->powerCycle(now);
  EXPECT_EQ(value(0x2000, 0), 200);
  EXPECT_EQ(value(0x6081, 0), 5000);
  EXPECT_EQ(value(0x1017, 0), 250);
  EXPECT_EQ(upload(0x1010, 1), 1u) << "reading shows the device saves on command";

  make((dir / "node5.state").string());  // a new process with the same state file
  EXPECT_EQ(value(0x2000, 0), 200);
}

TEST_F(StoreTest, RestoreTakesEffectAtTheNextReset) {
  ASSERT_EQ(download(0x2000, 0, 200, 2), 0u);
  ASSERT_EQ(download(0x6081, 0, 5000), 0u);
  ASSERT_EQ(download(0x1010, 1, kSave), 0u);
  EXPECT_EQ(download(0x1011, 1, kSave), sdo_abort::kStore);
  ASSERT_EQ(download(0x1011, 3, kLoad), 0u);  // application range only (0x6000..)
  EXPECT_EQ(value(0x6081, 0), 5000);
  nmt(0x81);
  EXPECT_EQ(value(0x6081, 0), 1000);
  EXPECT_EQ(value(0x2000, 0), 200);
  ASSERT_EQ(download(0x1011, 1, kLoad), 0u);
  node->powerCycle(now);
  EXPECT_EQ(value(0x2000, 0), 100);
}

TEST_F(StoreTest, UnwritableStateFileIsRefused) {
  fs::create_directories(dir);
  std::ofstream(dir / "file") << "x";
  make((dir / "file" / "node5.state").string());
  ASSERT_EQ(download(0x2000, 0, 200, 2), 0u);
  EXPECT_EQ(download(0x1010, 1, kSave), sdo_abort::kStore);
  node->powerCycle(now);
  EXPECT_EQ(value(0x2000, 0), 100);
}

TEST_F(SimNodeTest, IdentityCarriesVendorProductAndStableSerial) {
  EXPECT_EQ(upload(0x1018, 1), canopen::orvane::kVendorId);
  EXPECT_EQ(upload(0x1018, 2), 0x1234u);
  EXPECT_EQ(upload(0x1018, 3), 0x00010002u);
  EXPECT_EQ(upload(0x1018, 4), SimNode::serialNumber("Testo", kId));
  EXPECT_NE(SimNode::serialNumber("Testo", 5), SimNode::serialNumber("Testo", 6));
  EXPECT_NE(SimNode::serialNumber("Mirelo", 5), SimNode::serialNumber("Torvik", 5));
}

TEST_F(SimNodeTest, SilenceAndAnswerDelayAffectOnlyTheTransmitter) {
  node->setSilent(true);
  out.clear();
  send(0x605, {0x2B, 0x00, 0x20, 0x00, 0xC8, 0x00, 0, 0});
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(value(0x2000, 0), 200);
  node->setSilent(false);
  node->setAnswerDelayUs(20000);
  send(0x605, {0x40, 0x00, 0x20, 0x00});
  remote(0x705);
  advanceMs(19);
  EXPECT_TRUE(out.empty());
  advanceMs(1);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].id, 0x585u);  // in request order
  EXPECT_EQ(out[1].id, 0x705u);
}

}  // namespace
}  // namespace kestrum::sim::test
