// The exported classes, for clients that link against libVarnex.so: an own
// adapter object against a virtual bus reached through the IXXAT stand-in.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "CANopen.h"
#include "Varnex.h"
#include "VarnexTestSupport.h"
#include "vcinpl.h"

namespace varnex_test {
namespace {

TEST(VarnexClass, BitTimingTableOfBothFamilies) {
  struct Row {
    std::uint16_t kbit;
    int btr0, btr1, peak;  // -1: the family has no such rate
  };
  const Row rows[] = {{5, -1, -1, 0x7F7F},      {10, 0x31, 0x1C, 0x672F},  {20, 0x18, 0x1C, 0x532F},
                      {50, 0x09, 0x1C, 0x472F}, {100, 0x04, 0x1C, 0x432F}, {125, 0x03, 0x1C, 0x031C},
                      {250, 0x01, 0x1C, 0x011C}, {500, 0x00, 0x1C, 0x001C}, {800, 0x00, 0x16, -1},
                      {1000, 0x00, 0x14, 0x0014}};
  Varnex adapter;
  EXPECT_EQ(adapter.wPeakBtr0Btr1, 0x0014);  // 1000 kbit/s after load
  EXPECT_EQ(adapter.bBtr1, 0x14);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kbit);
    Varnex::setCard(0);
    adapter.bBtr0 = adapter.bBtr1 = 0xEE;
    EXPECT_EQ(adapter.setBaudrate(row.kbit), row.btr0 >= 0);
    EXPECT_EQ(adapter.bBtr0, row.btr0 >= 0 ? row.btr0 : 0xEE);
    EXPECT_EQ(adapter.bBtr1, row.btr1 >= 0 ? row.btr1 : 0xEE);

    Varnex::setCard(0x52);
    adapter.wPeakBtr0Btr1 = 0xEEEE;
    EXPECT_EQ(adapter.setBaudrate(row.kbit), row.peak >= 0);
    EXPECT_EQ(adapter.wPeakBtr0Btr1, row.peak >= 0 ? row.peak : 0xEEEE);
    if (row.peak >= 0) {
      EXPECT_EQ(Varnex::hPeakCanChn, 0x52);
    }
  }
  Varnex::setCard(0);
  EXPECT_FALSE(adapter.setBaudrate(33));
}

class VarnexOnBus : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    setenv("KESTRUM_BUS", server.entry().c_str(), 1);
    adapter = std::make_unique<Varnex>(0);
    ASSERT_EQ(adapter->getDeviceCount(0), 1);
    ASSERT_EQ(adapter->SetDevice(0, 0), 0);
    ASSERT_TRUE(adapter->initializeController());
    CANopen::setVarnex(adapter.get());
  }
  void TearDown() override {
    CANopen::setVarnex(nullptr);
    Varnex::set_GetAllCallback(nullptr);
    adapter.reset();
  }

  VirtualBus bus;
  SocketcandServer server{bus};
  std::unique_ptr<Varnex> adapter;
};

TEST_F(VarnexOnBus, HeartbeatSwitchGoesToTheSelectedNode) {
  Node node(bus);
  CANopen::setCanId(0x22);
  EXPECT_TRUE(CANopen::enableHartbeat());
  EXPECT_TRUE(CANopen::disableHartbeat());
  ASSERT_TRUE(node.waitFor(0x622, 2));
  const auto frames = node.framesOn(0x622);
  EXPECT_EQ(bytesOf(frames[0]), (std::vector<std::uint8_t>{0x2B, 0x17, 0x10, 0x00, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(bytesOf(frames[1]), (std::vector<std::uint8_t>{0x2B, 0x17, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_TRUE(node.framesOn(0x601).empty());
}

TEST_F(VarnexOnBus, OverlongFrameIsRefusedWithoutTouchingTheBus) {
  Node node(bus);
  Varnex::set_GetAllCallback(&Recorder::onAll);
  Recorder::instance().clear();
  const std::uint8_t nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(adapter->TransmitData(0x300, 9, nine, false), VCI_E_INVALIDARG);
  EXPECT_TRUE(Recorder::instance().allSeen().empty());
  // The frame after it still goes out, with its own length.
  EXPECT_EQ(adapter->TransmitData(0x301, 2, nine, false), 0);
  ASSERT_TRUE(node.waitFor(0x301, 1));
  EXPECT_TRUE(node.framesOn(0x300).empty());
  EXPECT_EQ(node.framesOn(0x301)[0].dlc, 2);
}

TEST_F(VarnexOnBus, WholeRecordDownloadSendsTheMarkedRange) {
  Node node(bus, [](const CanFrame& f, Node& n) {
    if (f.id == 0x603) n.send(0x583, {0x60, f.data[1], f.data[2], f.data[3], 0, 0, 0, 0});
  });
  CANopen::setCanId(3);
  SDO record;
  record.index = 0x2100;
  record.slot[0] = {255, 3};
  record.slot[1] = {1, 0x11};
  record.slot[2] = {2, 0x2222};
  record.slot[3] = {4, 0x33};  // not part of the range: the marker's value is exclusive
  EXPECT_TRUE(CANopen::sendSDO(record));
  const auto requests = node.framesOn(0x603);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(bytesOf(requests[0]), (std::vector<std::uint8_t>{0x2F, 0x00, 0x21, 0x01, 0x11}));
  EXPECT_EQ(bytesOf(requests[1]), (std::vector<std::uint8_t>{0x2B, 0x00, 0x21, 0x02, 0x22, 0x22}));
}

}  // namespace
}  // namespace varnex_test
