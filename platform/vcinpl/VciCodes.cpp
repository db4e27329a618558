#include "VciCodes.h"

#include <linux/can/error.h>

#include <cstdio>
#include <cstring>

namespace kestrum::vci {

namespace {

// 64-bit FNV-1a: small, stable across builds and platforms.
std::uint64_t fnv1a(const std::string& text, std::uint64_t seed) {
  std::uint64_t hash = seed;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001B3ull;
  }
  return hash;
}
constexpr std::uint64_t kFnvOffset = 0xCBF29CE484222325ull;

// Device class of every bus this library offers.
constexpr GUID kDeviceClass = {0x4B455354, 0x5255, 0x4D43, {0x80, 0x56, 0x43, 0x41, 0x4E, 0x42, 0x55, 0x53}};

void copyText(CHAR* to, std::size_t size, const std::string& text) {
  std::snprintf(to, size, "%s", text.c_str());
}

}  // namespace

std::optional<unsigned> bitTimingToKbit(UINT8 btr0, UINT8 btr1) {
  struct Entry {
    UINT8 btr0, btr1;
    unsigned kbit;
  };
  static constexpr Entry table[] = {
      {CAN_BT0_10KB, CAN_BT1_10KB, 10},     {CAN_BT0_20KB, CAN_BT1_20KB, 20},
      {CAN_BT0_50KB, CAN_BT1_50KB, 50},     {CAN_BT0_100KB, CAN_BT1_100KB, 100},
      {CAN_BT0_125KB, CAN_BT1_125KB, 125},  {CAN_BT0_250KB, CAN_BT1_250KB, 250},
      {CAN_BT0_500KB, CAN_BT1_500KB, 500},  {CAN_BT0_800KB, CAN_BT1_800KB, 800},
      {CAN_BT0_1000KB, CAN_BT1_1000KB, 1000},
  };
  for (const Entry& e : table)
    if (e.btr0 == btr0 && e.btr1 == btr1) return e.kbit;
  return std::nullopt;
}

std::string errorText(HRESULT status) {
  switch (status) {
    case VCI_OK: return "The operation completed successfully.";
    case VCI_E_UNEXPECTED: return "Unexpected failure.";
    case VCI_E_NOT_IMPLEMENTED: return "Not implemented.";
    case VCI_E_OUTOFMEMORY: return "Not enough storage is available to complete this operation.";
    case VCI_E_INVALIDARG: return "One or more arguments are invalid.";
    case VCI_E_NOINTERFACE: return "No such interface supported.";
    case VCI_E_INVPOINTER: return "Invalid pointer.";
    case VCI_E_INVHANDLE: return "Invalid handle.";
    case VCI_E_ABORT: return "Operation aborted.";
    case VCI_E_FAIL: return "Unspecified error.";
    case VCI_E_ACCESSDENIED: return "Access is denied.";
    case VCI_E_TIMEOUT: return "This operation returned because the timeout period expired.";
    case VCI_E_BUSY: return "The requested resource is currently busy.";
    case VCI_E_PENDING: return "The data necessary to complete this operation is not yet available.";
    case VCI_E_NO_DATA: return "No more data available.";
    case VCI_E_NO_MORE_ITEMS: return "No more entries are available from an enumeration operation.";
    case VCI_E_NOT_INITIALIZED: return "The component is not initialized.";
    case VCI_E_ALREADY_INITIALIZED: return "An attempt was made to reinitialize an already initialized component.";
    case VCI_E_RXQUEUE_EMPTY: return "Receive queue empty.";
    case VCI_E_TXQUEUE_FULL: return "Transmit queue full.";
    case VCI_E_BUFFER_OVERFLOW: return "The data was too large to fit into the specified buffer.";
    case VCI_E_INVALID_STATE: return "The component is not in a valid state to perform this request.";
    case VCI_E_OBJECT_ALREADY_EXISTS: return "The object already exists.";
    case VCI_E_INVALID_INDEX: return "Invalid index.";
    case VCI_E_END_OF_FILE: return "The end-of-file marker has been reached.";
    case VCI_E_DISCONNECTED: return "The device is disconnected.";
    default: {
      char text[40];
      std::snprintf(text, sizeof text, "Unknown error 0x%08X.", static_cast<unsigned>(status));
      return text;
    }
  }
}

std::string guidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

VCIDEVICEINFO deviceInfoFor(const std::string& key, const std::string& description) {
  VCIDEVICEINFO info;
  std::memset(&info, 0, sizeof info);
  // Positive and never 0, so it prints the same signed or unsigned and never
  // looks like "no device".
  info.VciObjectId.AsInt64 = static_cast<INT64>((fnv1a("vciid:" + key, kFnvOffset) >> 1) | 1);
  info.DeviceClass = kDeviceClass;
  info.DriverMajorVersion = 3;
  info.DriverMinorVersion = 5;
  info.DriverBuildVersion = 2;
  info.HardwareBranchVersion = 1;
  info.HardwareMajorVersion = 1;
  info.HardwareMinorVersion = 0;
  const std::uint64_t high = fnv1a("hwid:" + key, kFnvOffset);
  const std::uint64_t low = fnv1a(key, high);
  GUID& hw = info.UniqueHardwareId.AsGuid;
  hw.Data1 = static_cast<UINT32>(high >> 32);
  hw.Data2 = static_cast<UINT16>(high >> 16);
  hw.Data3 = static_cast<UINT16>((high & 0x0FFF) | 0x8000);  // a name-derived identifier, not a random one
  for (int i = 0; i < 8; ++i) hw.Data4[i] = static_cast<UINT8>(low >> (56 - 8 * i));
  copyText(info.Description, sizeof info.Description, description.empty() ? "Kestrum virtual CAN" : description);
  copyText(info.Manufacturer, sizeof info.Manufacturer, "Kestrum");
  return info;
}

void toCanMessage(const transport::CanFrame& frame, CANMSG& msg) {
  std::memset(&msg, 0, sizeof msg);
  msg.dwTime = static_cast<UINT32>(frame.timestampUs);
  msg.dwMsgId = frame.id;
  msg.uMsgInfo.Bytes.bType = CAN_MSGTYPE_DATA;
  msg.uMsgInfo.Bytes.bAccept = CAN_ACCEPT_ALWAYS;
  const UINT8 dlc = frame.dlc > 8 ? 8 : frame.dlc;
  msg.uMsgInfo.Bytes.bFlags = static_cast<UINT8>(dlc | (frame.remote ? CAN_MSGFLAGS_RTR : 0) |
                                                 (frame.extended ? CAN_MSGFLAGS_EXT : 0));
  if (!frame.remote) std::memcpy(msg.abData, frame.data, dlc);
}

void errorToCanMessage(const transport::CanFrame& frame, CANMSG& msg) {
  std::memset(&msg, 0, sizeof msg);
  msg.dwTime = static_cast<UINT32>(frame.timestampUs);
  msg.uMsgInfo.Bytes.bType = CAN_MSGTYPE_ERROR;
  msg.uMsgInfo.Bytes.bFlags = 2;  // two data bytes: kind and status

  const UINT32 cls = frame.id;
  const UINT8 prot = frame.data[2];
  const UINT8 location = frame.data[3];
  UINT8 kind = CAN_ERROR_OTHER;
  if (cls & CAN_ERR_ACK) {
    kind = CAN_ERROR_ACK;
  } else if (cls & CAN_ERR_PROT) {
    if (prot & CAN_ERR_PROT_STUFF) kind = CAN_ERROR_STUFF;
    else if (prot & CAN_ERR_PROT_FORM) kind = CAN_ERROR_FORM;
    else if (prot & (CAN_ERR_PROT_BIT | CAN_ERR_PROT_BIT0 | CAN_ERR_PROT_BIT1)) kind = CAN_ERROR_BIT;
    else if (location == CAN_ERR_PROT_LOC_CRC_SEQ || location == CAN_ERR_PROT_LOC_CRC_DEL) kind = CAN_ERROR_CRC;
  }
  UINT8 status = 0;
  if (cls & CAN_ERR_BUSOFF) status |= CAN_STATUS_BUSOFF;
  if (cls & CAN_ERR_CRTL) {
    const UINT8 ctrl = frame.data[1];
    if (ctrl & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING | CAN_ERR_CRTL_RX_PASSIVE |
                CAN_ERR_CRTL_TX_PASSIVE))
      status |= CAN_STATUS_ERRLIM;
    if (ctrl & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW)) status |= CAN_STATUS_OVRRUN;
  }
  msg.abData[0] = kind;
  msg.abData[1] = status;
}

HRESULT fromCanMessage(const CANMSG& msg, transport::CanFrame& frame) {
  const UINT8 flags = msg.uMsgInfo.Bytes.bFlags;
  if (msg.uMsgInfo.Bytes.bType != CAN_MSGTYPE_DATA) return VCI_E_INVALIDARG;
  const bool extended = flags & CAN_MSGFLAGS_EXT;
  const UINT8 dlc = flags & CAN_MSGFLAGS_DLC;
  if (dlc > 8 || msg.dwMsgId > (extended ? 0x1FFFFFFFu : 0x7FFu)) return VCI_E_INVALIDARG;
  frame = transport::CanFrame{};
  frame.id = msg.dwMsgId;
  frame.extended = extended;
  frame.remote = flags & CAN_MSGFLAGS_RTR;
  frame.dlc = dlc;
  if (!frame.remote) std::memcpy(frame.data, msg.abData, dlc);
  return VCI_OK;
}

bool AcceptanceFilter::accepts(const transport::CanFrame& frame) const {
  const UINT32 value = (frame.id << 1) | (frame.remote ? 1u : 0u);
  return ((value ^ code) & mask) == 0;
}

}  // namespace kestrum::vci
