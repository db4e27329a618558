// Bus-state tracking from SocketCAN error frames: reachable only with real
// CAN hardware, so checked here on the conversion itself.

#include <gtest/gtest.h>
#include <linux/can/error.h>

#include "PcanCodes.h"

namespace {

using kestrum::transport::CanFrame;

CanFrame errorFrame(std::uint32_t cls, std::uint8_t ctrl = 0) {
  CanFrame f;
  f.error = true;
  f.id = cls;
  f.data[1] = ctrl;
  return f;
}

TEST(PcanCodes, BusStateFollowsTheControllerThroughErrorStates) {
  using kestrum::pcan::busStateAfter;
  TPCANStatus state = PCAN_ERROR_OK;
  state = busStateAfter(errorFrame(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_WARNING), state);
  EXPECT_EQ(state, PCAN_ERROR_BUSWARNING);
  // A protocol error alone does not change the state.
  EXPECT_EQ(busStateAfter(errorFrame(CAN_ERR_PROT), state), PCAN_ERROR_BUSWARNING);
  state = busStateAfter(errorFrame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_PASSIVE), state);
  EXPECT_EQ(state, PCAN_ERROR_BUSPASSIVE);
  state = busStateAfter(errorFrame(CAN_ERR_BUSOFF | CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE), state);
  EXPECT_EQ(state, PCAN_ERROR_BUSOFF);
  EXPECT_EQ(busStateAfter(errorFrame(CAN_ERR_RESTARTED), state), PCAN_ERROR_OK);
  EXPECT_EQ(busStateAfter(errorFrame(CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE), PCAN_ERROR_BUSPASSIVE), PCAN_ERROR_OK);

  TPCANMsg msg;
  kestrum::pcan::statusMessage(PCAN_ERROR_BUSPASSIVE, msg);
  EXPECT_EQ(msg.MSGTYPE, PCAN_MESSAGE_STATUS);
  EXPECT_EQ(msg.LEN, 4);
  EXPECT_EQ(msg.DATA[1], 0x04);  // 0x00040000 big-endian
  EXPECT_EQ(msg.DATA[3], 0x00);
}

TEST(PcanCodes, TimestampSplitsMicrosecondsLikeTheDriver) {
  CanFrame f;
  f.timestampUs = 0x100000000ull * 1000 + 5'123'456;  // one millisecond wrap plus 5123.456 ms
  TPCANMsg msg;
  TPCANTimestamp ts;
  kestrum::pcan::toPcanMessage(f, msg, &ts);
  EXPECT_EQ(ts.millis_overflow, 1);
  EXPECT_EQ(ts.millis, 5123u);
  EXPECT_EQ(ts.micros, 456);
}

}  // namespace
