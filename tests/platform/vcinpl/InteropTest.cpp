// Both stand-ins and a plain socketcand client on one virtual bus: what one
// sends, the others receive.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "PCANBasic.h"
#include "VciBinding.h"

namespace {

using namespace std::chrono_literals;
using kestrum::test::dataMessage;
using kestrum::test::eventually;
using kestrum::test::StandIn;
using kestrum::test::TestBus;
using kestrum::test::useBuses;
using kestrum::test::Vci;

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    static StandIn pcanLibrary("libpcanbasic.so");
    ASSERT_TRUE(pcanLibrary.loaded()) << pcanLibrary.error();
    initialize = pcanLibrary.bind<PFN_CAN_Initialize>("CAN_Initialize");
    uninitialize = pcanLibrary.bind<PFN_CAN_Uninitialize>("CAN_Uninitialize");
    read = pcanLibrary.bind<PFN_CAN_Read>("CAN_Read");
    write = pcanLibrary.bind<PFN_CAN_Write>("CAN_Write");
    ASSERT_TRUE(initialize && uninitialize && read && write);
    ASSERT_TRUE(vci.bind());
  }
  void TearDown() override {
    vci.closeLine(line);
    if (uninitialize) uninitialize(PCAN_NONEBUS);
  }

  TPCANStatus pcanReadWithin(TPCANMsg& msg, std::chrono::milliseconds limit = kestrum::test::kWaitLimit) {
    TPCANStatus status = PCAN_ERROR_QRCVEMPTY;
    // The status says whether a message came; the callers check it.
    static_cast<void>(eventually([&] { return (status = read(PCAN_USBBUS1, &msg, nullptr)) != PCAN_ERROR_QRCVEMPTY; }, limit));
    return status;
  }

  PFN_CAN_Initialize initialize = nullptr;
  PFN_CAN_Uninitialize uninitialize = nullptr;
  PFN_CAN_Read read = nullptr;
  PFN_CAN_Write write = nullptr;
  Vci vci;
  Vci::Line line;
};

TEST_F(Interop, PcanAndVciClientsSeeEachOthersFrames) {
  TestBus bus;
  useBuses(bus.entry());
  ASSERT_EQ(initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);
  VCIDEVICEINFO info;
  ASSERT_TRUE(vci.firstDevice(info));
  ASSERT_TRUE(vci.openLine(info, CAN_BT0_500KB, CAN_BT1_500KB, line));

  TPCANMsg fromPcan{0x602, PCAN_MESSAGE_STANDARD, 8, {0x40, 0x41, 0x60, 0x00, 0, 0, 0, 0}};
  ASSERT_EQ(write(PCAN_USBBUS1, &fromPcan), PCAN_ERROR_OK);
  CANMSG msg;
  ASSERT_EQ(vci.canChannelReadMessage(line.channel, 2000, &msg), VCI_OK);
  EXPECT_EQ(msg.dwMsgId, 0x602u);
  EXPECT_EQ(msg.uMsgInfo.Bits.dlc, 8u);
  EXPECT_EQ(std::memcmp(msg.abData, fromPcan.DATA, 8), 0);

  CANMSG fromVci = dataMessage(0x582, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x02});
  ASSERT_EQ(vci.canChannelSendMessage(line.channel, 1000, &fromVci), VCI_OK);
  TPCANMsg got{};
  ASSERT_EQ(pcanReadWithin(got), PCAN_ERROR_OK);
  EXPECT_EQ(got.ID, 0x582u);
  ASSERT_EQ(got.LEN, 6);
  EXPECT_EQ(got.DATA[4], 0x37);

  // Node guarding across the families: PCAN asks, VCI sees the remote frame and answers.
  TPCANMsg guard{0x705, PCAN_MESSAGE_RTR, 1, {}};
  ASSERT_EQ(write(PCAN_USBBUS1, &guard), PCAN_ERROR_OK);
  ASSERT_EQ(vci.canChannelReadMessage(line.channel, 2000, &msg), VCI_OK);
  EXPECT_EQ(msg.dwMsgId, 0x705u);
  EXPECT_TRUE(msg.uMsgInfo.Bits.rtr);
  EXPECT_EQ(msg.uMsgInfo.Bits.dlc, 1u);
  CANMSG toggle = dataMessage(0x705, {0x85});
  ASSERT_EQ(vci.canChannelSendMessage(line.channel, 1000, &toggle), VCI_OK);
  ASSERT_EQ(pcanReadWithin(got), PCAN_ERROR_OK);
  EXPECT_EQ(got.MSGTYPE, PCAN_MESSAGE_STANDARD);
  EXPECT_EQ(got.DATA[0], 0x85);
}

TEST_F(Interop, ClientAtTheWrongBitRateHearsNothing) {
  TestBus bus(500);  // the bus runs at 500 kbit/s
  useBuses(bus.entry());
  VCIDEVICEINFO info;
  ASSERT_TRUE(vci.firstDevice(info));
  ASSERT_TRUE(vci.openLine(info, CAN_BT0_500KB, CAN_BT1_500KB, line));

  ASSERT_EQ(initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
  TPCANMsg frame{0x181, PCAN_MESSAGE_STANDARD, 1, {1}};
  ASSERT_EQ(write(PCAN_USBBUS1, &frame), PCAN_ERROR_OK);
  CANMSG msg;
  EXPECT_EQ(vci.canChannelReadMessage(line.channel, 300, &msg), VCI_E_TIMEOUT);

  // At the bus's rate the same client gets through.
  ASSERT_EQ(uninitialize(PCAN_USBBUS1), PCAN_ERROR_OK);
  ASSERT_EQ(initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);
  ASSERT_EQ(write(PCAN_USBBUS1, &frame), PCAN_ERROR_OK);
  ASSERT_EQ(vci.canChannelReadMessage(line.channel, 2000, &msg), VCI_OK);
  EXPECT_EQ(msg.dwMsgId, 0x181u);

  // Re-initialising the VCI controller to another rate takes the line off the bus.
  ASSERT_EQ(vci.canControlInitialize(line.control, CAN_OPMODE_STANDARD, CAN_BT0_125KB, CAN_BT1_125KB), VCI_OK);
  ASSERT_EQ(vci.canControlStart(line.control, TRUE), VCI_OK);
  ASSERT_EQ(write(PCAN_USBBUS1, &frame), PCAN_ERROR_OK);
  EXPECT_EQ(vci.canChannelReadMessage(line.channel, 300, &msg), VCI_E_TIMEOUT);
}

// A python interpreter with python-can, or empty.
std::string pythonWithCan() {
  for (const char* python : {"python3", "/usr/bin/python3"}) {
    const std::string probe = std::string(python) + " -c \"import can\" >/dev/null 2>&1";
    if (std::system(probe.c_str()) == 0) return python;
  }
  return {};
}

TEST_F(Interop, PythonCanSocketcandClientExchangesFramesWithAStandIn) {
  const std::string python = pythonWithCan();
  if (python.empty()) GTEST_SKIP() << "python-can is not installed";
  TestBus bus;
  useBuses(bus.entry());
  ASSERT_EQ(initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);

  // The script sends 0x321 and prints the first frame it receives.
  const std::string script =
      "import can\n"
      "bus = can.Bus(interface='socketcand', host='127.0.0.1', port=" + std::to_string(bus.port()) +
      ", channel='can0')\n"
      "bus.send(can.Message(arbitration_id=0x321, data=[1, 2, 3], is_extended_id=False))\n"
      "msg = bus.recv(10)\n"
      "print('none' if msg is None else '%X %s' % (msg.arbitration_id, msg.data.hex()))\n"
      "bus.shutdown()\n";
  const std::string command = python + " -c \"" + script + "\" 2>&1";
  auto output = std::async(std::launch::async, [command] {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char buf[256];
      while (std::fgets(buf, sizeof buf, pipe)) text += buf;
      ::pclose(pipe);
    }
    return text;
  });

  TPCANMsg got{};
  ASSERT_EQ(pcanReadWithin(got, 15s), PCAN_ERROR_OK) << output.get();
  EXPECT_EQ(got.ID, 0x321u);
  ASSERT_EQ(got.LEN, 3);
  EXPECT_EQ(got.DATA[2], 3);
  TPCANMsg reply{0x322, PCAN_MESSAGE_STANDARD, 2, {0xAB, 0xCD}};
  ASSERT_EQ(write(PCAN_USBBUS1, &reply), PCAN_ERROR_OK);
  EXPECT_EQ(output.get(), "322 abcd\n");
}

}  // namespace
