// Node ID and bit rate of a simulated controller (objects 0x2009 and 0x2005),
// and bit-rate compatibility between the ports of the virtual bus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "NodeFixture.h"
#include "node/NodeHost.h"

namespace kestrum::sim::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint32_t kSave = 0x65766173;  // "save"

/// A controller model of the application's data folder (the working
/// directory), which has the maker's settings objects.
class NodeSettings : public NodeFixture {
 protected:
  void SetUp() override {
    statePath = fs::temp_directory_path() / ("kestrum-node-settings-" + std::to_string(::getpid()) + ".state");
    fs::remove(statePath);
    std::string error;
    SimNode::Config config{kId, "Mirelo", statePath.string(), 1000};
    node = SimNode::fromEds(config, "XML/EDS_Mirelo.xml", error);
    ASSERT_TRUE(node) << error;
    node->setSink([this](const CanFrame& f) { out.push_back(f); });
    node->setPowered(true, now);
  }
  void TearDown() override { fs::remove(statePath); }

  /// Expedited download to the node at bus ID `id`; 0 or the abort code.
  std::uint32_t downloadTo(std::uint8_t id, std::uint16_t index, std::uint8_t sub, std::uint32_t value, int size) {
    out.clear();
    send(0x600u + id, {std::uint8_t(0x23 | (4 - size) << 2), std::uint8_t(index), std::uint8_t(index >> 8), sub,
                       std::uint8_t(value), std::uint8_t(value >> 8), std::uint8_t(value >> 16),
                       std::uint8_t(value >> 24)});
    if (out.size() != 1 || out[0].id != 0x580u + id) return 0xFFFFFFFF;
    return out[0].data[0] == 0x60 ? 0 : le32(out[0]);
  }
  /// Whether the node at bus ID `id` answers an upload of 0x1018 sub 0.
  bool answersAt(std::uint8_t id) {
    out.clear();
    send(0x600u + id, {0x40, 0x18, 0x10, 0, 0, 0, 0, 0});
    return out.size() == 1 && out[0].id == 0x580u + id;
  }
  bool bootedAs(std::uint8_t id) { return out.size() == 1 && out[0].id == 0x700u + id && out[0].data[0] == 0; }

  fs::path statePath;
};

TEST_F(NodeSettings, NodeIdAndBitRateTakeEffectOnceStoredAndRestarted) {
  EXPECT_EQ(value(0x2009, 0), kId);
  EXPECT_EQ(value(0x2005, 0), 0x87);
  EXPECT_EQ(node->bitrateKbit(), 1000u);

  // Written but not stored: a reset node loads the stored (here: made-with) values.
  EXPECT_EQ(downloadTo(kId, 0x2009, 0, 9, 1), 0u);
  EXPECT_EQ(downloadTo(kId, 0x2005, 0, 0x86, 1), 0u);
  EXPECT_TRUE(answersAt(kId));
  EXPECT_EQ(node->bitrateKbit(), 1000u);
  out.clear();
  nmt(0x81);
  EXPECT_TRUE(bootedAs(kId));
  EXPECT_EQ(node->bitrateKbit(), 1000u);

  // Written and stored: a reset communication keeps the running ID and rate,
  // a reset node takes the new ones.
  EXPECT_EQ(downloadTo(kId, 0x2009, 0, 9, 1), 0u);
  EXPECT_EQ(downloadTo(kId, 0x2005, 0, 0x86, 1), 0u);
  EXPECT_EQ(downloadTo(kId, 0x1010, 1, kSave, 4), 0u);
  out.clear();
  nmt(0x82);
  EXPECT_TRUE(bootedAs(kId));
  out.clear();
  nmt(0x81);
  EXPECT_TRUE(bootedAs(9));
  EXPECT_EQ(node->busNodeId(), 9);
  EXPECT_EQ(node->nodeId(), kId);
  EXPECT_EQ(node->bitrateKbit(), 500u);
  EXPECT_FALSE(answersAt(kId));
  EXPECT_TRUE(answersAt(9));
  // The predefined connection set follows the new ID.
  EXPECT_EQ(value(0x1014, 0), 0x89);
  EXPECT_EQ(value(0x1800, 1) & 0x7FF, 0x189);
  // NMT commands address it by its new ID.
  nmt(0x01, kId);
  EXPECT_EQ(node->nmtState(), NmtState::PreOperational);
  nmt(0x01, 9);
  EXPECT_EQ(node->nmtState(), NmtState::Operational);

  // The settings survive a power cycle.
  out.clear();
  node->powerCycle(now);
  EXPECT_TRUE(bootedAs(9));
  EXPECT_EQ(node->bitrateKbit(), 500u);
}

TEST_F(NodeSettings, ValuesOutsideTheSettingsAreRefused) {
  EXPECT_NE(downloadTo(kId, 0x2009, 0, 0, 1), 0u);
  EXPECT_NE(downloadTo(kId, 0x2009, 0, 128, 1), 0u);
  EXPECT_NE(downloadTo(kId, 0x2005, 0, 0x88, 1), 0u);
  EXPECT_NE(downloadTo(kId, 0x2005, 0, 0x81, 1), 0u);
  out.clear();
  nmt(0x81);
  EXPECT_TRUE(bootedAs(kId));
  EXPECT_EQ(node->bitrateKbit(), 1000u);
}

/// A port at a fixed bit rate that counts what it receives.
class RatedPort : public BusPort {
 public:
  RatedPort(VirtualBus& bus, unsigned kbit) : bus_(bus), kbit_(kbit) { bus_.attach(this); }
  ~RatedPort() override { bus_.detach(this); }
  unsigned bitrateKbit() const override { return kbit_; }
  void deliver(const CanFrame& frame) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ids_.push_back(frame.id);
    cv_.notify_all();
  }
  void send(std::uint32_t id, std::initializer_list<std::uint8_t> data) {
    CanFrame f;
    f.id = id;
    f.dlc = std::uint8_t(data.size());
    std::copy(data.begin(), data.end(), f.data);
    bus_.submit(this, f);
  }
  bool waitFor(std::uint32_t id, std::chrono::milliseconds timeout = kestrum::test::kWaitLimit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return std::find(ids_.begin(), ids_.end(), id) != ids_.end(); });
  }
  bool heard(std::uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
  }

 private:
  VirtualBus& bus_;
  const unsigned kbit_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::uint32_t> ids_;
};

TEST(BitRateCompatibility, PortsHearEachOtherOnlyAtCompatibleRates) {
  VirtualBus bus;  // unpaced: only the ports' own rates decide
  RatedPort at500(bus, 500), at1000(bus, 1000), follower(bus, 0), witness(bus, 0);
  at500.send(0x100, {1});
  follower.send(0x200, {2});
  at1000.send(0x300, {3});
  ASSERT_TRUE(witness.waitFor(0x100));
  ASSERT_TRUE(witness.waitFor(0x200));
  ASSERT_TRUE(witness.waitFor(0x300));
  EXPECT_TRUE(follower.heard(0x100));
  EXPECT_TRUE(follower.heard(0x300));
  EXPECT_TRUE(at500.heard(0x200));
  EXPECT_TRUE(at1000.heard(0x200));
  EXPECT_FALSE(at1000.heard(0x100));
  EXPECT_FALSE(at500.heard(0x300));

  VirtualBus rated(500);  // a port at another rate than the bus's is cut off
  RatedPort right(rated, 500), wrong(rated, 1000), follows(rated, 0);
  wrong.send(0x111, {1});
  right.send(0x222, {2});
  ASSERT_TRUE(follows.waitFor(0x222));
  follows.send(0x333, {3});
  ASSERT_TRUE(right.waitFor(0x333));
  EXPECT_FALSE(follows.heard(0x111));
  EXPECT_FALSE(right.heard(0x111));
  EXPECT_FALSE(wrong.heard(0x222));
  EXPECT_FALSE(wrong.heard(0x333));
}

TEST(BitRateCompatibility, HostedNodeRunsAtItsRateAndMovesWithItsSettings) {
  VirtualBus bus;
  const fs::path stateDir = fs::temp_directory_path() / ("kestrum-node-rate-" + std::to_string(::getpid()));
  fs::remove_all(stateDir);
  fs::create_directories(stateDir);
  RatedPort at500(bus, 500), at250(bus, 250), at1000(bus, 1000);
  {
    NodeHost host(bus, ".", stateDir.string());
    std::string error;
    EXPECT_FALSE(host.addNode(4, "Mirelo", error, 800));
    ASSERT_TRUE(host.addNode(4, "Mirelo", error, 500)) << error;
    ASSERT_TRUE(at500.waitFor(0x704));
    at1000.send(0x604, {0x40, 0x18, 0x10, 0, 0, 0, 0, 0});
    at500.send(0x604, {0x40, 0x18, 0x10, 0, 0, 0, 0, 0});
    ASSERT_TRUE(at500.waitFor(0x584));
    EXPECT_FALSE(at1000.heard(0x584));
    EXPECT_FALSE(at1000.heard(0x704));

    // To 250 kbit/s and node 6 over the bus, stored, reset: the boot-up
    // comes at the new rate under the new ID.
    at500.send(0x604, {0x2F, 0x05, 0x20, 0, 0x85, 0, 0, 0});
    at500.send(0x604, {0x2F, 0x09, 0x20, 0, 6, 0, 0, 0});
    at500.send(0x604, {0x23, 0x10, 0x10, 1, 's', 'a', 'v', 'e'});
    at500.send(0, {0x81, 4});
    ASSERT_TRUE(at250.waitFor(0x706));
    EXPECT_FALSE(at500.heard(0x706));
    at250.send(0x606, {0x40, 0x18, 0x10, 0, 0, 0, 0, 0});
    EXPECT_TRUE(at250.waitFor(0x586));
  }
  fs::remove_all(stateDir);
}

}  // namespace
}  // namespace kestrum::sim::test
