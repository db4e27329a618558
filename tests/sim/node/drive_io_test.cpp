// The controllers' I/O (debounced inputs, masked outputs, analog interrupts
// as transmit PDOs), the firmware's checks of its settings, and the commands
// that drive them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NodeFixture.h"
#include "bus/VirtualBus.h"
#include "node/DeviceBehaviours.h"
#include "node/Drive402.h"
#include "node/DriveIo.h"
#include "node/NodeCommands.h"
#include "node/NodeHost.h"

namespace kestrum::sim::test {
namespace {

std::string modelDataDir() { return testDataDir() + "/../../../data"; }

/// A node of one of the maker's models with every behaviour the host gives it.
class DriveIoTest : public NodeFixture {
 protected:
  void SetUp() override {}

  void makeModel(const std::string& model) {
    std::string error;
    node = SimNode::fromEds({kId, model, ""}, modelDataDir() + "/XML/EDS_" + model + ".xml", error);
    ASSERT_TRUE(node) << error;
    addDeviceBehaviours(*node);
    node->setSink([this](const CanFrame& f) { out.push_back(f); });
    node->setPowered(true, now);
    advanceMs(1);
    io = node->behaviour<DriveIo>();
    ASSERT_TRUE(io);
  }
  void control(std::uint16_t cw) { ASSERT_EQ(download(0x6040, 0, cw, 2), 0u); }

  /// TxPDO 2 on 0x285 with both analog inputs, event-driven; started operational.
  void analogPdo(std::uint16_t inhibit100us = 0) {
    ASSERT_EQ(download(0x1801, 1, 0x80000285u), 0u);
    ASSERT_EQ(download(0x1A01, 0, 0, 1), 0u);
    ASSERT_EQ(download(0x1A01, 1, 0x64010110u), 0u);
    ASSERT_EQ(download(0x1A01, 2, 0x64010210u), 0u);
    ASSERT_EQ(download(0x1A01, 0, 2, 1), 0u);
    ASSERT_EQ(download(0x1801, 2, 255, 1), 0u);
    ASSERT_EQ(download(0x1801, 3, inhibit100us, 2), 0u);
    ASSERT_EQ(download(0x1801, 1, 0x285), 0u);
    nmt(0x01);
    ASSERT_EQ(framesWithId(0x285).size(), 1u) << "sent once on entering operational";
    out.clear();
  }
  /// Sets analog input 1 and reports whether TxPDO 2 went out with the value.
  bool analogSends(int value) {
    out.clear();
    EXPECT_TRUE(io->setAnalogInput(*node, 1, value));
    node->poll(now);
    const auto frames = framesWithId(0x285);
    if (frames.empty()) return false;
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames.back().data[0] | frames.back().data[1] << 8, value);
    return true;
  }

  DriveIo* io = nullptr;
};

TEST_F(DriveIoTest, InputsShowOnceStableForTheDebounceTime) {
  for (std::uint32_t debounceMs : {0u, 5u, 20u}) {
    SCOPED_TRACE(debounceMs);
    makeModel("Mirelo");
    ASSERT_EQ(download(0x2008, 0, debounceMs, 1), 0u);
    ASSERT_TRUE(node->setDigitalInputs(0x10000, now));
    if (debounceMs > 0) {
      advanceMs(debounceMs - 1);
      EXPECT_EQ(upload(0x60FD, 0), 0u) << "still bouncing";
    }
    advanceMs(1);
    EXPECT_EQ(upload(0x60FD, 0), 0x10000u);

    // A pulse shorter than the debounce time never shows; each input keeps its own time.
    ASSERT_TRUE(node->setDigitalInputs(0x10000 | 0x20000, now));
    advanceMs(debounceMs / 2);
    ASSERT_TRUE(node->setDigitalInputs(0x20000, now));
    if (debounceMs > 0) {
      EXPECT_EQ(upload(0x60FD, 0), 0x10000u);
    }
    advanceMs(debounceMs);
    EXPECT_EQ(upload(0x60FD, 0), 0x20000u);

    // Switches of the drive's own model bypass the debounce and add to the inputs.
    node->setSwitchInputs(0x4, now);
    EXPECT_EQ(upload(0x60FD, 0), 0x20004u);
    node->setSwitchInputs(0, now);
    node->restart(now);  // the inputs keep their level through a reset
    EXPECT_EQ(upload(0x60FD, 0), 0x20000u);
  }
}

TEST_F(DriveIoTest, OutputsFollowTheMaskAndKeepTheFirmwaresBrake) {
  struct Row {
    const char* model;
    bool enabled;  // operation enabled: the brake output is on
    std::uint32_t mask, written, readBack, driven;
  };
  const Row rows[] = {
      {"Mirelo", false, 0x00000000, 0x00030000, 0x00030000, 0x00030000},  // no mask: all the user's
      {"Mirelo", false, 0x00010000, 0x00030000, 0x00030000, 0x00020000},  // output 1 is the firmware's
      {"Mirelo", false, 0x00000000, 0x00030001, 0x00030001, 0x00030001},  // bit 0 is the user's here
      {"Brelan", false, 0x00000000, 0x00030001, 0x00030000, 0x00030000},  // the brake stays applied
      {"Brelan", true, 0x00000000, 0x00010000, 0x00010001, 0x00010001},   // and released
      {"Brelan", true, 0xFFFFFFFF, 0x00000000, 0x00000001, 0x00000001},   // whatever the mask
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.model) + " written " + std::to_string(r.written) + " mask " + std::to_string(r.mask));
    makeModel(r.model);
    if (r.enabled) {
      control(0x06);
      control(0x07);
      control(0x0F);
    }
    ASSERT_EQ(download(0x60FE, 2, r.mask), 0u);
    ASSERT_EQ(download(0x60FE, 1, r.written), 0u);
    EXPECT_EQ(upload(0x60FE, 1), r.readBack);
    EXPECT_EQ(io->outputs(*node), r.driven);
  }
  // The brake is applied again once the operation is disabled.
  control(0x07);
  advanceMs(20);
  EXPECT_EQ(io->outputs(*node), 0u);
}

TEST_F(DriveIoTest, AnalogInterruptsSendTheirPdo) {
  struct Row {
    const char* name;
    bool enabled;                                                   // 0x6423
    std::vector<std::pair<std::uint16_t, std::uint32_t>> settings;  // of input 1
    std::vector<std::pair<int, bool>> steps;                        // value, whether TxPDO 2 goes out
  };
  const Row rows[] = {
      {"global interrupt off", false, {}, {{100, false}, {500, false}}},
      {"nothing configured: every change", true, {}, {{100, true}, {100, false}, {101, true}}},
      {"delta", true, {{0x6426, 10}}, {{5, false}, {10, true}, {15, false}, {0, true}, {9, false}}},
      {"positive and negative delta",
       true,
       {{0x6427, 10}, {0x6428, 20}},
       {{15, false}, {25, true}, {20, false}, {16, false}, {15, true}, {6, false}, {5, true}}},
      {"upper limit", true, {{0x6424, 800}}, {{700, false}, {801, true}, {802, true}, {700, false}}},
      {"lower limit", true, {{0x6425, 100}}, {{50, true}, {150, false}, {99, true}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    makeModel("Mirelo");
    for (const auto& [index, value] : r.settings) ASSERT_EQ(download(index, 1, value), 0u);
    ASSERT_EQ(download(0x6423, 0, r.enabled, 1), 0u);
    analogPdo();
    for (const auto& [value, sends] : r.steps) {
      EXPECT_EQ(analogSends(value), sends) << "value " << value;
      EXPECT_EQ(upload(0x6401, 1), std::uint32_t(value));
    }
  }
  EXPECT_FALSE(io->setAnalogInput(*node, 3, 1));
  EXPECT_FALSE(io->setAnalogInput(*node, 1, 1024));
  // Other objects' changes still send their PDOs.
  out.clear();
  ASSERT_EQ(node->writeObject(0x6041, 0, encodeNumber(kTypeU16, 0x0237)), 0u);
  node->poll(now);
  EXPECT_EQ(framesWithId(0x185).size(), 1u);
}

TEST_F(DriveIoTest, AnalogInterruptsWaitForTheInhibitTime) {
  makeModel("Mirelo");
  ASSERT_EQ(download(0x6423, 0, 1, 1), 0u);
  analogPdo(100);  // 10 ms
  advanceMs(20);
  EXPECT_TRUE(analogSends(100));
  advanceMs(1);
  EXPECT_FALSE(analogSends(200));
  EXPECT_FALSE(analogSends(300));
  out.clear();
  advanceMs(8);
  EXPECT_TRUE(framesWithId(0x285).empty());
  advanceMs(1);
  const auto frames = framesWithId(0x285);
  ASSERT_EQ(frames.size(), 1u) << "one frame at the end of the inhibit time";
  EXPECT_EQ(frames[0].data[0] | frames[0].data[1] << 8, 300) << "with the newest value";
}

TEST_F(DriveIoTest, SettingsRefuseWritesInTheWrongStateOrWithoutMeaning) {
  makeModel("Mirelo");
  struct Write {
    std::uint16_t index;
    std::uint8_t sub;
    std::uint32_t value;
    int size;
  };
  const Write motorSettings[] = {{0x2004, 7, 1, 1},    {0x2006, 0, 2, 1}, {0x2011, 0, 2, 1},
                                 {0x608F, 1, 4000, 4}, {0x200D, 0, 1, 1}, {0x2001, 0, 2, 1}};
  control(0x06);
  control(0x07);  // switched on: the power stage is on
  for (const Write& w : motorSettings)
    EXPECT_EQ(download(w.index, w.sub, w.value, w.size), sdo_abort::kDeviceState) << std::hex << w.index;
  EXPECT_EQ(download(0x2004, 1, 60, 1), 0u) << "the phase current changes at any time";
  control(0x06);  // ready to switch on: off again
  for (const Write& w : motorSettings) EXPECT_EQ(download(w.index, w.sub, w.value, w.size), 0u) << std::hex << w.index;

  const Write refused[] = {{0x6091, 1, 0, 4}, {0x6091, 2, 0, 4}, {0x6092, 1, 0, 4}, {0x6092, 2, 0, 4},
                           {0x608F, 2, 0, 4}, {0x2006, 0, 0, 1}, {0x2001, 0, 4, 1}};
  for (const Write& w : refused)
    EXPECT_EQ(download(w.index, w.sub, w.value, w.size), sdo_abort::kRange) << std::hex << w.index << ":" << int(w.sub);
  EXPECT_EQ(download(0x6091, 2, 3), 0u);
  EXPECT_EQ(download(0x2004, 2, 100, 1), 0u) << "a stop current above the phase current is allowed";
}

TEST(DriveIoCommands, CommandsReachTheIoAndTheDrive) {
  VirtualBus bus;
  NodeHost host(bus, modelDataDir(), "");
  std::string error;
  ASSERT_TRUE(host.addNode(5, "Mirelo", error)) << error;
  const std::pair<const char*, const char*> steps[] = {
      {"node 5 analog 2 512", "ok\n"},
      {"node 5 read 0x6401 2", "0x6401:2 = 0x0200 (512)\n"},
      {"node 5 analog 3 1", "error: this model has analog inputs 1..2\n"},
      {"node 5 write 0x60FE 2 0x20000", "ok\n"},
      {"node 5 write 0x60FE 1 0x10001", "ok\n"},
      {"node 5 outputs", "0x00010001\n"},
      {"node 5 write 0x2008 0 0", "ok\n"},  // no debounce: the switches show at once
      {"node 5 switch home on", "ok\n"},
      {"node 5 switch neg on", "ok\n"},
      {"node 5 switch home off", "ok\n"},
      {"node 5 switch pos on", "ok\n"},
      {"node 5 read 0x60FD 0", "0x60FD:0 = 0x00000003 (3)\n"},
      {"node 5 refswitch 0 opener", "ok\n"},  // the axis stands on it: input 6 low, else high
      {"node 5 switch pos off", "ok\n"},
      {"node 5 read 0x60FD 0", "0x60FD:0 = 0x00000001 (1)\n"},
      {"node 5 refswitch 3 opener", "ok\n"},
      {"node 5 switch pos off", "ok\n"},
      {"node 5 read 0x60FD 0", "0x60FD:0 = 0x00200001 (2097153)\n"},
      {"node 5 refswitch off", "ok\n"},
      {"node 5 switch ref on", "ok\n"},
      {"node 5 read 0x60FD 0", "0x60FD:0 = 0x00200001 (2097153)\n"},
      {"node 5 block on", "ok\n"},
      {"node 5 setup fail", "ok\n"},
      {"node 5 flash 200", "ok\n"},
      {"node 5 supply off", "ok\n"},
  };
  for (const auto& [command, reply] : steps) EXPECT_EQ(runNodeCommand(host, command), reply) << command;
  bool supply = true;
  host.withNode(5, [&](SimNode& n, std::uint64_t) { supply = n.behaviour<Drive402>()->supplyOn(); });
  EXPECT_FALSE(supply);

  for (const char* bad : {"node 5 analog 1", "node 5 analog 1 1024", "node 5 supply maybe", "node 5 setup",
                          "node 5 block", "node 5 switch top on", "node 5 switch home", "node 5 flash -1",
                          "node 5 refswitch", "node 5 refswitch 1 nc", "node 5 refswitch 1e400 closer"})
    EXPECT_EQ(runNodeCommand(host, bad).rfind("error: usage: node ID ", 0), 0u) << bad;
}

}  // namespace
}  // namespace kestrum::sim::test
