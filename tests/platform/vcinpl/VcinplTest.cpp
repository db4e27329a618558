// libvcinpl.so as Varnex and its device dialog use it: loaded by file name,
// bound by name, run against virtual buses named in KESTRUM_BUS.

#include <chrono>
#include <cstring>
#include <future>
#include <set>

#include "VciBinding.h"

namespace {

using namespace std::chrono_literals;
using kestrum::test::dataMessage;
using kestrum::test::TestBus;
using kestrum::test::useBuses;
using kestrum::test::Vci;
using Clock = std::chrono::steady_clock;

class Vcinpl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(vci.bind()); }
  Vci vci;
};

std::vector<VCIDEVICEINFO> enumerate(Vci& vci, HANDLE e) {
  std::vector<VCIDEVICEINFO> list;
  VCIDEVICEINFO info;
  while (vci.vciEnumDeviceNext(e, &info) == VCI_OK) list.push_back(info);
  return list;
}

TEST_F(Vcinpl, EnumeratesAnsweringBusesWithStableIdentities) {
  TestBus first, second;
  const std::string deadEntry = [] {
    TestBus gone;
    gone.stop();
    return gone.entry();
  }();
  useBuses(first.entry() + "," + deadEntry + "," + second.entry());

  UINT32 major = 0, minor = 0;
  ASSERT_EQ(vci.vciGetVersion(&major, &minor), VCI_OK);
  EXPECT_EQ(major, 3u);

  HANDLE e = nullptr;
  ASSERT_EQ(vci.vciEnumDeviceOpen(&e), VCI_OK);
  auto list = enumerate(vci, e);
  ASSERT_EQ(list.size(), 2u) << "the bus without a server is not listed";
  VCIDEVICEINFO info;
  EXPECT_EQ(vci.vciEnumDeviceNext(e, &info), VCI_E_NO_MORE_ITEMS);
  EXPECT_NE(list[0].VciObjectId.AsInt64, list[1].VciObjectId.AsInt64);
  EXPECT_NE(std::memcmp(&list[0].UniqueHardwareId, &list[1].UniqueHardwareId, 16), 0);
  EXPECT_EQ(std::memcmp(&list[0].DeviceClass, &list[1].DeviceClass, sizeof(GUID)), 0);
  EXPECT_NE(std::string(list[0].Description).find(first.entry()), std::string::npos) << list[0].Description;
  EXPECT_STRNE(list[0].Manufacturer, "");

  // The same bus keeps its identity: another enumeration, in any order of entries.
  useBuses(second.entry() + "," + first.entry());
  ASSERT_EQ(vci.vciEnumDeviceReset(e), VCI_OK);
  auto again = enumerate(vci, e);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1].VciObjectId.AsInt64, list[0].VciObjectId.AsInt64);
  EXPECT_EQ(std::memcmp(&again[1].UniqueHardwareId, &list[0].UniqueHardwareId, 16), 0);
  EXPECT_EQ(vci.vciEnumDeviceClose(e), VCI_OK);
  EXPECT_EQ(vci.vciEnumDeviceNext(e, &info), VCI_E_INVHANDLE);

  char text[256];
  ASSERT_EQ(vci.vciGuidToChar(list[0].UniqueHardwareId.AsGuid, text, sizeof text), VCI_OK);
  EXPECT_EQ(std::strlen(text), 38u);
  EXPECT_EQ(text[0], '{');
  EXPECT_EQ(vci.vciGuidToChar(list[0].UniqueHardwareId.AsGuid, text, 38), VCI_E_BUFFER_OVERFLOW);

  HANDLE device = nullptr;
  ASSERT_EQ(vci.vciDeviceOpen(list[0].VciObjectId, &device), VCI_OK);
  VCIDEVICECAPS caps;
  ASSERT_EQ(vci.vciDeviceGetCaps(device, &caps), VCI_OK);
  ASSERT_EQ(caps.BusCtrlCount, 1);
  EXPECT_EQ(VCI_BUS_TYPE(caps.BusCtrlTypes[0]), VCI_BUS_CAN);
  ASSERT_EQ(vci.vciDeviceGetInfo(device, &info), VCI_OK);
  EXPECT_EQ(info.VciObjectId.AsInt64, list[0].VciObjectId.AsInt64);
  HANDLE control = nullptr;
  EXPECT_EQ(vci.canControlOpen(device, 1, &control), VCI_E_INVALIDARG) << "one line only";
  EXPECT_EQ(vci.vciDeviceClose(device), VCI_OK);
  EXPECT_EQ(vci.vciDeviceGetCaps(device, &caps), VCI_E_INVHANDLE);

  vci.vciFormatError(VCI_E_ABORT, text, sizeof text);
  EXPECT_STREQ(text, "Operation aborted.");
}

TEST_F(Vcinpl, DeviceDisappearsWithItsServerAndReturnsWithTheSameIds) {
  TestBus bus;
  useBuses(bus.entry());
  HANDLE e = nullptr;
  ASSERT_EQ(vci.vciEnumDeviceOpen(&e), VCI_OK);
  auto before = enumerate(vci, e);
  ASSERT_EQ(before.size(), 1u);
  HANDLE device = nullptr;
  ASSERT_EQ(vci.vciDeviceOpen(before[0].VciObjectId, &device), VCI_OK);

  // Nothing changes: the wait times out.
  const auto start = Clock::now();
  EXPECT_EQ(vci.vciEnumDeviceWaitEvent(e, 300), VCI_E_TIMEOUT);
  EXPECT_GE(Clock::now() - start, 250ms);

  auto removed = std::async(std::launch::async, [&] { return vci.vciEnumDeviceWaitEvent(e, 10000); });
  std::this_thread::sleep_for(100ms);
  bus.stop();
  EXPECT_EQ(removed.get(), VCI_OK);
  ASSERT_EQ(vci.vciEnumDeviceReset(e), VCI_OK);
  EXPECT_TRUE(enumerate(vci, e).empty());
  VCIDEVICEINFO info;
  EXPECT_EQ(vci.vciDeviceGetInfo(device, &info), VCI_E_DISCONNECTED);  // how the dialog drops the line

  auto returned = std::async(std::launch::async, [&] { return vci.vciEnumDeviceWaitEvent(e, 10000); });
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(bus.restart());
  EXPECT_EQ(returned.get(), VCI_OK);
  ASSERT_EQ(vci.vciEnumDeviceReset(e), VCI_OK);
  auto after = enumerate(vci, e);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].VciObjectId.AsInt64, before[0].VciObjectId.AsInt64);
  EXPECT_EQ(vci.vciDeviceGetInfo(device, &info), VCI_OK);
  vci.vciDeviceClose(device);
  vci.vciEnumDeviceClose(e);
}

TEST_F(Vcinpl, ClosingFromAnotherThreadEndsBlockedWaitsPromptly) {
  TestBus bus;
  useBuses(bus.entry());
  HANDLE e = nullptr;
  ASSERT_EQ(vci.vciEnumDeviceOpen(&e), VCI_OK);
  auto wait = std::async(std::launch::async, [&] { return vci.vciEnumDeviceWaitEvent(e, INFINITE); });
  VCIDEVICEINFO info;
  ASSERT_TRUE(vci.firstDevice(info));
  Vci::Line line;
  ASSERT_TRUE(vci.openLine(info, CAN_BT0_500KB, CAN_BT1_500KB, line));
  auto read = std::async(std::launch::async, [&] {
    CANMSG msg;
    return vci.canChannelReadMessage(line.channel, INFINITE, &msg);
  });
  // Sending on the channel while another thread blocks in a read of it.
  CANMSG out = dataMessage(0x321, {1, 2, 3});
  EXPECT_EQ(vci.canChannelSendMessage(line.channel, 100, &out), VCI_OK);
  std::this_thread::sleep_for(100ms);

  const auto start = Clock::now();
  ASSERT_EQ(vci.vciEnumDeviceClose(e), VCI_OK);
  ASSERT_EQ(vci.canChannelClose(line.channel), VCI_OK);
  EXPECT_EQ(wait.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(read.wait_for(2s), std::future_status::ready);
  EXPECT_NE(wait.get(), VCI_OK);
  EXPECT_EQ(read.get(), VCI_E_INVHANDLE);
  EXPECT_LT(Clock::now() - start, 1s);
  line.channel = nullptr;
  vci.closeLine(line);
}

TEST_F(Vcinpl, ChannelFollowsControllerStateFilterAndTimeouts) {
  TestBus bus;
  useBuses(bus.entry() + "," + bus.entry());  // two devices on one bus
  HANDLE e = nullptr;
  ASSERT_EQ(vci.vciEnumDeviceOpen(&e), VCI_OK);
  auto list = enumerate(vci, e);
  vci.vciEnumDeviceClose(e);
  ASSERT_EQ(list.size(), 1u) << "the same bus twice is one device";

  Vci::Line a;
  ASSERT_TRUE(vci.openLine(list[0], CAN_BT0_250KB, CAN_BT1_250KB, a));
  // A second, independent line to the same bus: a device opened twice.
  HANDLE device = nullptr, channel = nullptr;
  ASSERT_EQ(vci.vciDeviceOpen(list[0].VciObjectId, &device), VCI_OK);
  EXPECT_EQ(vci.canChannelOpen(device, 0, TRUE, &channel), VCI_E_ACCESSDENIED) << "line already has a channel";
  ASSERT_EQ(vci.canChannelOpen(device, 0, FALSE, &channel), VCI_OK);
  CANMSG msg;
  EXPECT_EQ(vci.canChannelReadMessage(channel, 10, &msg), VCI_E_INVALID_STATE) << "not initialised";
  ASSERT_EQ(vci.canChannelInitialize(channel, 1024, 1, 128, 1), VCI_OK);
  ASSERT_EQ(vci.canChannelActivate(channel, TRUE), VCI_OK);

  HANDLE control = a.control;
  EXPECT_EQ(vci.canControlInitialize(control, CAN_OPMODE_STANDARD, 0x12, 0x34), VCI_E_INVALIDARG);
  CANMSG tooLong = dataMessage(0x100, {}, false, 9);
  EXPECT_EQ(vci.canChannelSendMessage(a.channel, 100, &tooLong), VCI_E_INVALIDARG);
  CANMSG info = dataMessage(0x100, {});
  info.uMsgInfo.Bytes.bType = CAN_MSGTYPE_INFO;
  EXPECT_EQ(vci.canChannelSendMessage(a.channel, 100, &info), VCI_E_INVALIDARG);

  // Only 0x123 passes the filter (identifier in bits 1..11, RTR bit 0 don't care).
  ASSERT_EQ(vci.canControlInitialize(control, CAN_OPMODE_STANDARD, CAN_BT0_250KB, CAN_BT1_250KB), VCI_OK);
  CANMSG out = dataMessage(0x124, {1});
  EXPECT_EQ(vci.canChannelSendMessage(a.channel, 100, &out), VCI_E_INVALID_STATE) << "controller stopped";
  ASSERT_EQ(vci.canControlSetAccFilter(control, FALSE, 0x123u << 1, 0x7FFu << 1), VCI_OK);
  ASSERT_EQ(vci.canControlStart(control, TRUE), VCI_OK);
  CANMSG in = dataMessage(0x124, {1});
  ASSERT_EQ(vci.canChannelSendMessage(channel, 100, &in), VCI_OK);
  in = dataMessage(0x123, {2, 3});
  ASSERT_EQ(vci.canChannelSendMessage(channel, 100, &in), VCI_OK);
  ASSERT_EQ(vci.canChannelReadMessage(a.channel, 2000, &msg), VCI_OK);
  EXPECT_EQ(msg.dwMsgId, 0x123u);
  EXPECT_EQ(msg.uMsgInfo.Bytes.bType, CAN_MSGTYPE_DATA);
  EXPECT_EQ(msg.uMsgInfo.Bits.dlc, 2u);
  EXPECT_EQ(msg.abData[1], 3);

  const auto start = Clock::now();
  EXPECT_EQ(vci.canChannelReadMessage(a.channel, 200, &msg), VCI_E_TIMEOUT);
  EXPECT_GE(Clock::now() - start, 150ms);

  // Remote frame round trip between the two lines.
  CANMSG request = dataMessage(0x123, {}, true, 4);
  ASSERT_EQ(vci.canChannelSendMessage(channel, 100, &request), VCI_OK);
  ASSERT_EQ(vci.canChannelReadMessage(a.channel, 2000, &msg), VCI_OK);
  EXPECT_TRUE(msg.uMsgInfo.Bits.rtr);
  EXPECT_EQ(msg.uMsgInfo.Bits.dlc, 4u);

  vci.canChannelClose(channel);
  vci.vciDeviceClose(device);
  vci.closeLine(a);
}

TEST_F(Vcinpl, LostBusReportsDisconnectedWithoutSpinning) {
  auto bus = std::make_unique<TestBus>();
  useBuses(bus->entry());
  VCIDEVICEINFO info;
  ASSERT_TRUE(vci.firstDevice(info));
  Vci::Line line;
  ASSERT_TRUE(vci.openLine(info, CAN_BT0_1000KB, CAN_BT1_1000KB, line));
  bus->stop();

  CANMSG msg;
  HRESULT status = VCI_OK;
  // The first read notices the loss; later reads wait out their time-out.
  for (int i = 0; i < 3 && status != VCI_E_DISCONNECTED; ++i) status = vci.canChannelReadMessage(line.channel, 200, &msg);
  EXPECT_EQ(status, VCI_E_DISCONNECTED);
  const auto start = Clock::now();
  EXPECT_EQ(vci.canChannelReadMessage(line.channel, 200, &msg), VCI_E_DISCONNECTED);
  EXPECT_GE(Clock::now() - start, 150ms);
  CANMSG out = dataMessage(0x100, {1});
  EXPECT_EQ(vci.canChannelSendMessage(line.channel, 100, &out), VCI_E_DISCONNECTED);
  vci.closeLine(line);
}

}  // namespace
