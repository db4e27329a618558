#include <gtest/gtest.h>

#include <linux/can/error.h>

#include "transport/SocketCanTransport.h"

using namespace kestrum::transport;

TEST(SocketCanConversion, DataRemoteAndExtendedFramesBothWays) {
  can_frame k{};
  k.can_id = 0x1ABCDEF | CAN_EFF_FLAG;
  k.can_dlc = 3;
  k.data[0] = 1;
  k.data[1] = 2;
  k.data[2] = 3;
  k.data[3] = 0xEE;  // stale byte beyond the length must not leak through
  CanFrame f = fromSocketCan(k, 42);
  EXPECT_TRUE(f.extended);
  EXPECT_FALSE(f.remote);
  EXPECT_EQ(f.id, 0x1ABCDEFu);
  EXPECT_EQ(f.dlc, 3);
  EXPECT_EQ(f.data[2], 3);
  EXPECT_EQ(f.data[3], 0);
  EXPECT_EQ(f.timestampUs, 42u);

  can_frame back{};
  std::string error;
  ASSERT_TRUE(toSocketCan(f, back, error)) << error;
  EXPECT_EQ(back.can_id, k.can_id);
  EXPECT_EQ(back.can_dlc, 3);
  EXPECT_EQ(back.data[3], 0);

  // Remote frame: requested length kept, no data.
  k = can_frame{};
  k.can_id = 0x705 | CAN_RTR_FLAG;
  k.can_dlc = 1;
  k.data[0] = 0x55;
  f = fromSocketCan(k, 0);
  EXPECT_TRUE(f.remote);
  EXPECT_FALSE(f.extended);
  EXPECT_EQ(f.id, 0x705u);
  EXPECT_EQ(f.dlc, 1);
  EXPECT_EQ(f.data[0], 0);
  ASSERT_TRUE(toSocketCan(f, back, error));
  EXPECT_EQ(back.can_id, 0x705u | CAN_RTR_FLAG);

  // A corrupt length from a driver is cut to 8.
  k = can_frame{};
  k.can_id = 0x123;
  k.can_dlc = 15;
  EXPECT_EQ(fromSocketCan(k, 0).dlc, 8);
}

TEST(SocketCanConversion, ErrorFramesAndUnsendableFrames) {
  can_frame k{};
  k.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF | CAN_ERR_CRTL;
  k.can_dlc = CAN_ERR_DLC;
  k.data[1] = CAN_ERR_CRTL_RX_PASSIVE;
  CanFrame f = fromSocketCan(k, 7);
  EXPECT_TRUE(f.error);
  EXPECT_EQ(f.id, static_cast<std::uint32_t>(CAN_ERR_BUSOFF | CAN_ERR_CRTL));
  EXPECT_EQ(f.data[1], CAN_ERR_CRTL_RX_PASSIVE);

  can_frame out{};
  std::string error;
  EXPECT_FALSE(toSocketCan(f, out, error));  // error frames come from the controller only
  EXPECT_FALSE(error.empty());
  CanFrame tooLong;
  tooLong.dlc = 9;
  EXPECT_FALSE(toSocketCan(tooLong, out, error));
  CanFrame wideId;
  wideId.id = 0x800;
  EXPECT_FALSE(toSocketCan(wideId, out, error));
}

TEST(SocketCanTransport, FailsCleanlyWithoutKernelSupportOrInterface) {
  SocketCanTransport t("can0");
  EXPECT_EQ(t.description(), "socketcan:can0");
  std::string error;
  // On a kernel without CAN this is the "not supported" text; with CAN but
  // without can0 it names the interface. Either way: false and a reason.
  if (!t.open(error)) {
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(t.isOpen());
    CanFrame f;
    EXPECT_EQ(t.read(f, 0), ReadStatus::Failed);
    EXPECT_FALSE(t.send(CanFrame{}, error));
    EXPECT_NE(error.find("not open"), std::string::npos) << error;
  }
  t.close();

  SocketCanTransport missing("nosuchcan7");
  EXPECT_FALSE(missing.open(error));
  EXPECT_TRUE(error.find("not supported") != std::string::npos || error.find("nosuchcan7") != std::string::npos)
      << error;
  EXPECT_FALSE(missing.setBitrate(500, error));
  EXPECT_NE(error.find("nosuchcan7"), std::string::npos) << error;
  EXPECT_FALSE(missing.setBitrate(0, error));
}

TEST(SocketCanTransport, BitrateOfANonCanInterfaceIsNotConstrained) {
  // The loopback interface has no CAN bit timing, like vcan: any rate is fine.
  std::uint32_t rate = 1;
  bool isCan = true;
  std::string error;
  ASSERT_TRUE(readInterfaceBitrate("lo", rate, isCan, error)) << error;
  EXPECT_FALSE(isCan);
  EXPECT_EQ(rate, 0u);
  SocketCanTransport lo("lo");
  EXPECT_TRUE(lo.setBitrate(250, error)) << error;
}
