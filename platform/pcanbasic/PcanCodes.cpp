#include "PcanCodes.h"

#include <linux/can/error.h>

#include <cstring>

namespace kestrum::pcan {

std::optional<unsigned> baudCodeToKbit(TPCANBaudrate code) {
  switch (code) {
    case PCAN_BAUD_1M: return 1000;
    case PCAN_BAUD_800K: return 800;
    case PCAN_BAUD_500K: return 500;
    case PCAN_BAUD_250K: return 250;
    case PCAN_BAUD_125K: return 125;
    case PCAN_BAUD_100K: return 100;
    case PCAN_BAUD_50K: return 50;
    case PCAN_BAUD_20K: return 20;
    case PCAN_BAUD_10K: return 10;
    case PCAN_BAUD_5K: return 5;
    default: return std::nullopt;
  }
}

const char* statusText(TPCANStatus status) {
  switch (status) {
    case PCAN_ERROR_OK: return "No error";
    case PCAN_ERROR_XMTFULL: return "Transmit buffer in CAN controller is full";
    case PCAN_ERROR_OVERRUN: return "CAN controller was read too late";
    case PCAN_ERROR_BUSLIGHT: return "Bus error: an error counter reached the 'light' limit";
    case PCAN_ERROR_BUSHEAVY: return "Bus error: an error counter reached the 'heavy' limit";
    case PCAN_ERROR_BUSPASSIVE: return "Bus error: the CAN controller is error passive";
    case PCAN_ERROR_BUSOFF: return "Bus error: the CAN controller is in bus-off state";
    case PCAN_ERROR_QRCVEMPTY: return "Receive queue is empty";
    case PCAN_ERROR_QOVERRUN: return "Receive queue was read too late";
    case PCAN_ERROR_QXMTFULL: return "Transmit queue is full";
    case PCAN_ERROR_REGTEST: return "Test of the CAN controller hardware registers failed (no hardware found)";
    case PCAN_ERROR_NODRIVER: return "Driver not loaded";
    case PCAN_ERROR_HWINUSE: return "Hardware already in use by a Net";
    case PCAN_ERROR_NETINUSE: return "A Client is already connected to the Net";
    case PCAN_ERROR_ILLHW: return "Hardware handle is invalid or the hardware is not available";
    case PCAN_ERROR_ILLNET: return "Net handle is invalid";
    case PCAN_ERROR_ILLCLIENT: return "Client handle is invalid";
    case PCAN_ERROR_RESOURCE: return "Resource (FIFO, Client, timeout) cannot be created";
    case PCAN_ERROR_ILLPARAMTYPE: return "Invalid parameter";
    case PCAN_ERROR_ILLPARAMVAL: return "Invalid parameter value";
    case PCAN_ERROR_UNKNOWN: return "Unknown error";
    case PCAN_ERROR_ILLDATA: return "Invalid data, function, or action";
    case PCAN_ERROR_ILLMODE: return "Driver object state is wrong for the attempted operation";
    case PCAN_ERROR_CAUTION: return "An operation was successfully carried out, however, irregularities were registered";
    case PCAN_ERROR_INITIALIZE: return "Channel is not initialized or already in use";
    case PCAN_ERROR_ILLOPERATION: return "Invalid operation";
    default: return nullptr;
  }
}

void toPcanMessage(const transport::CanFrame& frame, TPCANMsg& msg, TPCANTimestamp* ts) {
  std::memset(&msg, 0, sizeof msg);
  msg.ID = frame.id;
  msg.MSGTYPE = static_cast<TPCANMessageType>((frame.remote ? PCAN_MESSAGE_RTR : 0) |
                                              (frame.extended ? PCAN_MESSAGE_EXTENDED : 0));
  msg.LEN = frame.dlc > 8 ? 8 : frame.dlc;
  if (!frame.remote) std::memcpy(msg.DATA, frame.data, msg.LEN);
  if (ts) {
    const std::uint64_t millis = frame.timestampUs / 1000;
    ts->millis = static_cast<DWORD>(millis);
    ts->millis_overflow = static_cast<WORD>(millis >> 32);
    ts->micros = static_cast<WORD>(frame.timestampUs % 1000);
  }
}

TPCANStatus fromPcanMessage(const TPCANMsg& msg, transport::CanFrame& frame) {
  if (msg.LEN > 8) return PCAN_ERROR_ILLDATA;
  constexpr TPCANMessageType sendable = PCAN_MESSAGE_RTR | PCAN_MESSAGE_EXTENDED;
  if (msg.MSGTYPE & ~sendable) return PCAN_ERROR_ILLPARAMVAL;  // FD, status, error frames
  const bool extended = msg.MSGTYPE & PCAN_MESSAGE_EXTENDED;
  if (msg.ID > (extended ? 0x1FFFFFFFu : 0x7FFu)) return PCAN_ERROR_ILLPARAMVAL;
  frame = transport::CanFrame{};
  frame.id = msg.ID;
  frame.extended = extended;
  frame.remote = msg.MSGTYPE & PCAN_MESSAGE_RTR;
  frame.dlc = msg.LEN;
  if (!frame.remote) std::memcpy(frame.data, msg.DATA, msg.LEN);
  return PCAN_ERROR_OK;
}

TPCANStatus busStateAfter(const transport::CanFrame& f, TPCANStatus current) {
  if (f.id & CAN_ERR_BUSOFF) return PCAN_ERROR_BUSOFF;
  if (f.id & CAN_ERR_RESTARTED) return PCAN_ERROR_OK;
  if (f.id & CAN_ERR_CRTL) {
    const std::uint8_t ctrl = f.data[1];
    if (ctrl & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) return PCAN_ERROR_BUSPASSIVE;
    if (ctrl & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) return PCAN_ERROR_BUSWARNING;
    if (ctrl & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW)) return PCAN_ERROR_OVERRUN;
    if (ctrl & CAN_ERR_CRTL_ACTIVE) return PCAN_ERROR_OK;
  }
  return current;
}

void statusMessage(TPCANStatus state, TPCANMsg& msg) {
  std::memset(&msg, 0, sizeof msg);
  msg.MSGTYPE = PCAN_MESSAGE_STATUS;
  msg.LEN = 4;
  for (int i = 0; i < 4; ++i) msg.DATA[i] = static_cast<BYTE>(state >> (24 - 8 * i));
}

}  // namespace kestrum::pcan
