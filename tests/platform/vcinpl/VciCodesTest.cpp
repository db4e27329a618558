// Error frames from SocketCAN interfaces as VCI error messages: reachable only
// with real CAN hardware, so checked here on the conversion itself.

#include <gtest/gtest.h>
#include <linux/can/error.h>

#include "VciCodes.h"

namespace {

using kestrum::transport::CanFrame;

CANMSG convert(std::uint32_t cls, std::uint8_t ctrl, std::uint8_t prot, std::uint8_t location) {
  CanFrame f;
  f.error = true;
  f.id = cls;
  f.data[1] = ctrl;
  f.data[2] = prot;
  f.data[3] = location;
  CANMSG msg;
  kestrum::vci::errorToCanMessage(f, msg);
  return msg;
}

TEST(VciCodes, ErrorFramesBecomeErrorMessagesWithKindAndStatus) {
  CANMSG m = convert(CAN_ERR_PROT, 0, CAN_ERR_PROT_STUFF, 0);
  EXPECT_EQ(m.uMsgInfo.Bytes.bType, CAN_MSGTYPE_ERROR);
  EXPECT_EQ(m.abData[0], CAN_ERROR_STUFF);
  EXPECT_EQ(m.abData[1], 0);
  EXPECT_EQ(convert(CAN_ERR_PROT, 0, CAN_ERR_PROT_FORM, 0).abData[0], CAN_ERROR_FORM);
  EXPECT_EQ(convert(CAN_ERR_PROT, 0, CAN_ERR_PROT_BIT1, 0).abData[0], CAN_ERROR_BIT);
  EXPECT_EQ(convert(CAN_ERR_PROT, 0, 0, CAN_ERR_PROT_LOC_CRC_SEQ).abData[0], CAN_ERROR_CRC);
  EXPECT_EQ(convert(CAN_ERR_ACK, 0, 0, 0).abData[0], CAN_ERROR_ACK);

  m = convert(CAN_ERR_BUSOFF | CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE | CAN_ERR_CRTL_RX_OVERFLOW, 0, 0);
  EXPECT_EQ(m.abData[0], CAN_ERROR_OTHER);
  EXPECT_EQ(m.abData[1], CAN_STATUS_BUSOFF | CAN_STATUS_ERRLIM | CAN_STATUS_OVRRUN);
}

TEST(VciCodes, OnlyThePredefinedBitTimingsAreAccepted) {
  using kestrum::vci::bitTimingToKbit;
  EXPECT_EQ(bitTimingToKbit(0x00, 0x16), 800u);
  EXPECT_EQ(bitTimingToKbit(0x31, 0x1C), 10u);
  EXPECT_EQ(bitTimingToKbit(0x00, 0x14), 1000u);
  EXPECT_FALSE(bitTimingToKbit(0x3F, 0x7F));  // 5 kbit/s is a PEAK rate only
  EXPECT_FALSE(bitTimingToKbit(0x00, 0x00));
}

}  // namespace
