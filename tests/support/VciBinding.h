#pragma once
// libvcinpl.so bound by name, as Varnex binds it.

#include "StandInTestSupport.h"
#include "vcinpl.h"

namespace kestrum::test {

struct Vci {
#define KESTRUM_VCI_FUNCTIONS(X)                                                                        \
  X(vciGetVersion) X(vciFormatError) X(vciGuidToChar) X(vciEnumDeviceOpen) X(vciEnumDeviceClose)        \
  X(vciEnumDeviceNext) X(vciEnumDeviceReset) X(vciEnumDeviceWaitEvent) X(vciDeviceOpen) X(vciDeviceClose) \
  X(vciDeviceGetInfo) X(vciDeviceGetCaps) X(canControlOpen) X(canControlClose) X(canControlInitialize)  \
  X(canControlStart) X(canControlSetAccFilter) X(canChannelOpen) X(canChannelClose)                     \
  X(canChannelInitialize) X(canChannelActivate) X(canChannelReadMessage) X(canChannelSendMessage)
#define KESTRUM_VCI_MEMBER(name) PF_##name name = nullptr;
  KESTRUM_VCI_FUNCTIONS(KESTRUM_VCI_MEMBER)
#undef KESTRUM_VCI_MEMBER

  /// Binds every function; false (with a test failure) when one is missing.
  bool bind() {
    static StandIn library("libvcinpl.so");
    if (!library.loaded()) {
      ADD_FAILURE() << library.error();
      return false;
    }
    bool all = true;
#define KESTRUM_VCI_BIND(name)                        \
  name = library.bind<PF_##name>(#name);              \
  if (!name) {                                        \
    ADD_FAILURE() << "missing " #name;                \
    all = false;                                      \
  }
    KESTRUM_VCI_FUNCTIONS(KESTRUM_VCI_BIND)
#undef KESTRUM_VCI_BIND
    return all;
  }

  /// The first enumerated device, or false.
  bool firstDevice(VCIDEVICEINFO& info) {
    HANDLE e = nullptr;
    if (vciEnumDeviceOpen(&e) != VCI_OK) return false;
    const bool found = vciEnumDeviceNext(e, &info) == VCI_OK;
    vciEnumDeviceClose(e);
    return found;
  }

  /// Opens the device's line as Varnex does: shared channel (rx 1024, tx 128),
  /// activated, controller initialised in standard mode at BTR0/BTR1,
  /// acceptance of every identifier, started.
  struct Line {
    HANDLE device = nullptr, control = nullptr, channel = nullptr;
  };
  bool openLine(const VCIDEVICEINFO& info, UINT8 btr0, UINT8 btr1, Line& line) {
    return vciDeviceOpen(info.VciObjectId, &line.device) == VCI_OK &&
           canChannelOpen(line.device, 0, FALSE, &line.channel) == VCI_OK &&
           canChannelInitialize(line.channel, 1024, 1, 128, 1) == VCI_OK &&
           canChannelActivate(line.channel, TRUE) == VCI_OK &&
           canControlOpen(line.device, 0, &line.control) == VCI_OK &&
           canControlInitialize(line.control, CAN_OPMODE_STANDARD, btr0, btr1) == VCI_OK &&
           canControlSetAccFilter(line.control, FALSE, CAN_ACC_CODE_ALL, CAN_ACC_MASK_ALL) == VCI_OK &&
           canControlStart(line.control, TRUE) == VCI_OK;
  }
  void closeLine(Line& line) {
    if (line.channel) canChannelClose(line.channel);
    if (line.control) canControlClose(line.control);
    if (line.device) vciDeviceClose(line.device);
    line = {};
  }
};

inline CANMSG dataMessage(UINT32 id, std::initializer_list<UINT8> data, bool rtr = false, UINT8 dlc = 0xFF) {
  CANMSG msg{};
  msg.dwMsgId = id;
  msg.uMsgInfo.Bytes.bType = CAN_MSGTYPE_DATA;
  const UINT8 len = dlc == 0xFF ? static_cast<UINT8>(data.size()) : dlc;
  msg.uMsgInfo.Bytes.bFlags = static_cast<UINT8>((len & CAN_MSGFLAGS_DLC) | (rtr ? CAN_MSGFLAGS_RTR : 0));
  std::copy(data.begin(), data.end(), msg.abData);
  return msg;
}

}  // namespace kestrum::test
