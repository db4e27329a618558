// Nodes on a VirtualBus through the host: real threads and real time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>
#include <filesystem>
#include <mutex>

#include "NodeFixture.h"
#include "node/NodeCommands.h"
#include "node/NodeHost.h"
#include "canopen/Orvane.h"

namespace kestrum::sim::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A test's own port on the bus: records every frame (with the bus's time stamp).
class Probe : public BusPort {
 public:
  explicit Probe(VirtualBus& bus) : bus_(bus) { bus_.attach(this); }
  ~Probe() override { bus_.detach(this); }

  void deliver(const CanFrame& frame) override {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(frame);
    cv_.notify_all();
  }
  void send(std::uint32_t id, std::initializer_list<std::uint8_t> data, bool remote = false) {
    CanFrame f;
    f.id = id;
    f.dlc = std::uint8_t(data.size());
    f.remote = remote;
    std::copy(data.begin(), data.end(), f.data);
    bus_.submit(this, f);
  }
  /// Waits for the first frame with `id` received after `from` (an index into the record).
  std::optional<CanFrame> waitFor(std::uint32_t id, std::size_t from = 0,
                                  std::chrono::milliseconds timeout = kestrum::test::kWaitLimit) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<CanFrame> found;
    cv_.wait_for(lock, timeout, [&] {
      for (std::size_t i = from; i < frames_.size(); ++i) {
        if (frames_[i].id == id) {
          found = frames_[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::size_t mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
  }
  /// Bus time stamps (µs) of the frames with `id`.
  std::vector<std::uint64_t> times(std::uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint64_t> r;
    for (const auto& f : frames_)
      if (f.id == id) r.push_back(f.timestampUs);
    return r;
  }
  /// Expedited or segmented upload through the bus; the 8 answer bytes of the initiate step.
  std::optional<CanFrame> request(std::uint8_t node, std::initializer_list<std::uint8_t> data,
                                  std::chrono::milliseconds timeout = kestrum::test::kWaitLimit) {
    const std::size_t from = mark();
    send(0x600u + node, data);
    return waitFor(0x580u + node, from, timeout);
  }
  std::string uploadString(std::uint8_t node, std::uint16_t index) {
    auto init = request(node, {0x40, std::uint8_t(index), std::uint8_t(index >> 8), 0, 0, 0, 0, 0});
    if (!init || init->data[0] != 0x41) return "<no segmented answer>";
    std::string text;
    for (std::uint8_t toggle = 0;; toggle ^= 0x10) {
      auto seg = request(node, {std::uint8_t(0x60 | toggle), 0, 0, 0, 0, 0, 0, 0});
      if (!seg || (seg->data[0] & 0xE0) != 0) return "<broken segment>";
      text.append(seg->data + 1, seg->data + 8 - ((seg->data[0] >> 1) & 7));
      if (seg->data[0] & 1) return text;
    }
  }

 private:
  VirtualBus& bus_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<CanFrame> frames_;
};

class NodeHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stateDir = fs::temp_directory_path() / ("kestrum-host-test-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(stateDir);
  }
  void TearDown() override { fs::remove_all(stateDir); }
  static std::uint32_t le32(const CanFrame& f) {
    return f.data[4] | f.data[5] << 8 | f.data[6] << 16 | std::uint32_t(f.data[7]) << 24;
  }

  fs::path stateDir;
  VirtualBus bus;
  Probe probe{bus};
};

TEST_F(NodeHostTest, SeveralNodesAnswerOnlyTheirOwnRequests) {
  NodeHost host(bus, testDataDir(), stateDir.string());
  std::string error;
  for (std::uint8_t id : {1, 2, 3}) ASSERT_TRUE(host.addNode(id, "testo", error)) << error;
  EXPECT_FALSE(host.addNode(2, "Testo", error));
  EXPECT_FALSE(host.addNode(0, "Testo", error));
  EXPECT_FALSE(host.addNode(9, "NoSuchModel", error));
  EXPECT_FALSE(host.addNode(9, "../XML/EDS_Testo", error));
  for (std::uint8_t id : {1, 2, 3}) {
    ASSERT_TRUE(probe.waitFor(0x700u + id)) << "boot-up of node " << int(id);
    auto answer = probe.request(id, {0x40, 0x18, 0x10, 0x04, 0, 0, 0, 0});
    ASSERT_TRUE(answer);
    EXPECT_EQ(le32(*answer), SimNode::serialNumber("Testo", id));
  }
  const std::size_t from = probe.mark();
  probe.send(0, {0x01, 0x00});  // start all
  for (std::uint8_t id : {1, 2, 3}) EXPECT_TRUE(probe.waitFor(0x180u + id, from)) << "TPDO of node " << int(id);

  ASSERT_TRUE(host.removeNode(2));
  EXPECT_FALSE(host.removeNode(2));
  EXPECT_FALSE(probe.request(2, {0x40, 0x41, 0x60, 0, 0, 0, 0, 0}, 100ms));
  EXPECT_TRUE(probe.request(3, {0x40, 0x41, 0x60, 0, 0, 0, 0, 0}));
}

// Nodes answer on the thread that delivers their requests, and removing a
// node waits for a delivery into it: neither may wait for the other, however
// the two meet. Requests are sent from two threads on an unpaced bus, so
// deliveries run on the senders' threads as well as on the bus thread.
TEST_F(NodeHostTest, RemovingNodesUnderTrafficNeitherHangsNorSilencesTheOthers) {
  auto host = std::make_unique<NodeHost>(bus, testDataDir(), "");
  std::string error;
  for (std::uint8_t id : {1, 2}) ASSERT_TRUE(host->addNode(id, "Testo", error)) << error;
  std::atomic<bool> stop{false};
  auto flood = [&](std::uint8_t node) {
    // Paced a little, so no backlog outlasts the flood and delays the checks below.
    while (!stop.load()) {
      probe.send(0x600u + node, {0x40, 0x18, 0x10, 0x04, 0, 0, 0, 0});
      std::this_thread::sleep_for(50us);
    }
  };
  std::thread a(flood, 1), b(flood, 2);
  auto churn = std::async(std::launch::async, [&] {
    std::string e;
    for (int i = 0; i < 200; ++i) {
      if (!host->removeNode(2) || !host->addNode(2, "Testo", e)) return false;
    }
    return true;
  });
  const bool finished = churn.wait_for(20s) == std::future_status::ready;
  stop = true;
  a.join();
  b.join();
  ASSERT_TRUE(finished) << "removeNode and a delivery waited for each other";
  EXPECT_TRUE(churn.get());
  EXPECT_TRUE(probe.request(1, {0x40, 0x18, 0x10, 0x04, 0, 0, 0, 0}));
  EXPECT_TRUE(probe.request(2, {0x40, 0x18, 0x10, 0x04, 0, 0, 0, 0}));
  auto gone = std::async(std::launch::async, [&] { host.reset(); });
  EXPECT_EQ(gone.wait_for(20s), std::future_status::ready) << "the host's destructor hung";
}

TEST_F(NodeHostTest, CommandsControlTheRunningNodes) {
  NodeHost host(bus, testDataDir(), stateDir.string());
  std::string error;
  ASSERT_TRUE(host.addNode(5, "Testo", error)) << error;
  ASSERT_TRUE(probe.waitFor(0x705));

  EXPECT_EQ(runNodeCommand(host, "node 5 input 0x10000"), "ok\n");
  auto answer = probe.request(5, {0x40, 0xFD, 0x60, 0x00, 0, 0, 0, 0});
  ASSERT_TRUE(answer);
  EXPECT_EQ(le32(*answer), 0x10000u);
  EXPECT_EQ(runNodeCommand(host, "node 5 read 0x60FD 0"), "0x60FD:0 = 0x00010000 (65536)\n");

  std::size_t from = probe.mark();
  EXPECT_EQ(runNodeCommand(host, "node 5 emcy 0x3100"), "ok\n");
  auto emcy = probe.waitFor(0x85, from);
  ASSERT_TRUE(emcy);
  EXPECT_EQ(emcy->data[1], 0x31);

  EXPECT_EQ(runNodeCommand(host, "node 5 write 0x2002 0 two words"), "ok\n");
  EXPECT_EQ(probe.uploadString(5, 0x2002), "two words");
  EXPECT_EQ(runNodeCommand(host, "node 5 write 0x2000 0 5"), "error: abort 0x06090030\n");

  EXPECT_EQ(runNodeCommand(host, "node 5 delay 80"), "ok\n");
  auto sent = Clock::now();
  ASSERT_TRUE(probe.request(5, {0x40, 0x41, 0x60, 0x00, 0, 0, 0, 0}));
  EXPECT_GE(Clock::now() - sent, 75ms);
  EXPECT_EQ(runNodeCommand(host, "node 5 delay 0"), "ok\n");

  EXPECT_EQ(runNodeCommand(host, "node 5 silence on"), "ok\n");
  EXPECT_FALSE(probe.request(5, {0x40, 0x41, 0x60, 0x00, 0, 0, 0, 0}, 100ms));
  EXPECT_EQ(runNodeCommand(host, "node 5 silence off"), "ok\n");

  from = probe.mark();
  EXPECT_EQ(runNodeCommand(host, "node 5 powercycle"), "ok\n");
  EXPECT_TRUE(probe.waitFor(0x705, from));
  EXPECT_EQ(runNodeCommand(host, "node 5 state"), "Pre-operational\n");

  for (const char* bad : {"node 9 state", "node 5 fly", "node 300 state", "node 5 input", "node 5 silence maybe",
                          "node 5 read 0x7777 0", "hello"}) {
    EXPECT_EQ(runNodeCommand(host, bad).rfind("error: ", 0), 0u) << bad;
  }
  EXPECT_EQ(runNodeCommand(host, "   "), "");
}

TEST_F(NodeHostTest, HeartbeatPeriodHoldsInRealTime) {
  NodeHost host(bus, testDataDir(), "");
  std::string error;
  ASSERT_TRUE(host.addNode(7, "Testo", error)) << error;
  ASSERT_TRUE(probe.request(7, {0x2B, 0x17, 0x10, 0x00, 50, 0, 0, 0}));
  // Boot-up plus twenty beats, measured on the bus's clock.
  ASSERT_TRUE(kestrum::test::eventually([&] { return probe.times(0x707).size() >= 21; }));
  auto times = probe.times(0x707);
  ASSERT_GE(times.size(), 18u);
  const double span = double(times.back() - times[1]) / 1000.0;
  const double period = span / double(times.size() - 2);
  EXPECT_NEAR(period, 50.0, 5.0);
}

// The project's own data files (copied into the application folder): every
// model builds, answers its identity and has default PDO mappings the node accepts.
// The host gives every node its bootloader, with the image beside the
// node's state file; driven as the library drives it, in real time.
TEST_F(NodeHostTest, NodesTakeAFirmwareImageThroughTheirBootloader) {
  NodeHost host(bus, testDataDir(), stateDir.string());
  std::string error;
  ASSERT_TRUE(host.addNode(4, "Testo", error)) << error;
  ASSERT_TRUE(probe.waitFor(0x704));
  auto write = [&](std::uint8_t sub, std::uint32_t v) {
    auto a = probe.request(4, {0x23, 0x00, 0x30, sub, std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                               std::uint8_t(v >> 24)});
    return a && a->data[0] == 0x60;
  };
  probe.send(0, {0x81, 4});
  std::this_thread::sleep_for(250ms);
  ASSERT_TRUE(write(1, 3)) << "stay";
  auto probed = probe.request(4, {0x40, 0x00, 0x30, 0x00, 0, 0, 0, 0});
  ASSERT_TRUE(probed);
  EXPECT_EQ(probed->data[0], 0x4F) << "the bootloader answers its probe";

  // One block: the version text and filler.
  std::vector<std::uint8_t> block(0x600, 0xA5);
  const std::string marker = "KVER:host-1.0";
  std::copy(marker.begin(), marker.end(), block.begin() + 16);
  block[16 + marker.size()] = 0;
  ASSERT_TRUE(write(31, 0x325));
  ASSERT_TRUE(write(3, 0));
  std::uint32_t sum = 0;
  for (int c = 0; c < 16; ++c) {
    ASSERT_TRUE(write(4, std::uint32_t(c)));
    for (int n = 24 * c; n < 24 * c + 24; ++n) {
      const std::uint8_t* p = block.data() + 4 * n;
      probe.send(0x325, {std::uint8_t(n), std::uint8_t(n >> 8), 0, 0, p[0], p[1], p[2], p[3]});
      sum += std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
    }
  }
  ASSERT_TRUE(write(5, sum));
  ASSERT_TRUE(write(1, 1));
  std::uint8_t status = 0;
  for (int poll = 0; poll < 100 && status == 0; ++poll) {
    auto a = probe.request(4, {0x40, 0x00, 0x30, 0x02, 0, 0, 0, 0});
    ASSERT_TRUE(a);
    status = a->data[4];
    if (status == 0) std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(status, 1);
  const std::size_t from = probe.mark();
  ASSERT_TRUE(write(1, 4));
  ASSERT_TRUE(probe.waitFor(0x704, from)) << "boot-up after leaving";
  EXPECT_EQ(probe.uploadString(4, 0x100A), "host-1.0");
  EXPECT_TRUE(fs::exists(stateDir / "node4-Testo.state.image"));
}

TEST_F(NodeHostTest, ModelFilesOfTheApplicationFolder) {
  if (!fs::exists("XML/EDS_Mirelo.xml")) GTEST_SKIP() << "data files not in the working directory";
  NodeHost host(bus, fs::current_path().string(), "");
  std::string error;
  std::uint8_t id = 10;
  for (const char* model : {"Default", "Mirelo", "Torvik", "Brelan"}) {
    ++id;
    ASSERT_TRUE(host.addNode(id, model, error)) << error;
    auto vendor = probe.request(id, {0x40, 0x18, 0x10, 0x01, 0, 0, 0, 0});
    ASSERT_TRUE(vendor) << model;
    EXPECT_EQ(le32(*vendor), canopen::orvane::kVendorId) << model;
    host.withNode(id, [&](SimNode& n, std::uint64_t) {
      PdoEngine rules;
      for (std::uint16_t map : {0x1600, 0x1601, 0x1602, 0x1603, 0x1A00, 0x1A01, 0x1A02, 0x1A03}) {
        if (auto count = n.dictionary().number(map, 0)) {
          EXPECT_EQ(rules.checkWrite(n.dictionary(), map, 0, *count), 0u) << model << " mapping " << std::hex << map;
        }
      }
    });
  }
  EXPECT_EQ(probe.uploadString(12, 0x1009), "Mirelo");
  EXPECT_FALSE(probe.uploadString(12, 0x100A).empty());
  // Torvik: the name as an array of characters with the count in sub-index 0.
  auto count = probe.request(13, {0x40, 0x09, 0x10, 0x00, 0, 0, 0, 0});
  ASSERT_TRUE(count);
  EXPECT_EQ(count->data[0], 0x4F);
  std::string name;
  for (std::uint8_t i = 1; i <= count->data[4]; ++i) {
    auto ch = probe.request(13, {0x40, 0x09, 0x10, i, 0, 0, 0, 0});
    ASSERT_TRUE(ch);
    name += char(ch->data[4]);
  }
  EXPECT_EQ(name, "Torvik");
}

}  // namespace
}  // namespace kestrum::sim::test
