#pragma once
// Conversions between the VCI interface's numbers and structures and the
// project's transports, free of I/O so they can be checked on their own.

#include <optional>
#include <string>

#include "transport/CanFrame.h"
#include "vcinpl.h"

namespace kestrum::vci {

/// kbit/s of one of the predefined bit-timing register pairs; nothing for any
/// other pair (this stand-in runs only the predefined rates).
std::optional<unsigned> bitTimingToKbit(UINT8 btr0, UINT8 btr1);

/// Text of a status code ("Unknown error 0x...") for values without one.
std::string errorText(HRESULT status);

/// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
std::string guidText(const GUID& guid);

/// The information a device reports, derived only from its endpoint key so
/// that a bus keeps its object ID and hardware ID across runs and processes.
VCIDEVICEINFO deviceInfoFor(const std::string& endpointKey, const std::string& description);

/// Received data or remote frame as a CAN_MSGTYPE_DATA message.
void toCanMessage(const transport::CanFrame& frame, CANMSG& msg);

/// SocketCAN error frame as a CAN_MSGTYPE_ERROR message: abData[0] the kind
/// of error (CAN_ERROR_*), abData[1] the controller status (CAN_STATUS_*).
void errorToCanMessage(const transport::CanFrame& frame, CANMSG& msg);

/// Checks a message handed to canChannelSendMessage and turns it into a frame:
/// VCI_OK or VCI_E_INVALIDARG (not a data message, length > 8, identifier out
/// of range).
HRESULT fromCanMessage(const CANMSG& msg, transport::CanFrame& frame);

/// The acceptance filter of one identifier format. Code and mask compare the
/// identifier shifted left by one with the remote-request bit in bit 0, as the
/// controller's registers do; a mask bit of 0 means "don't care".
struct AcceptanceFilter {
  UINT32 code = CAN_ACC_CODE_ALL;
  UINT32 mask = CAN_ACC_MASK_ALL;
  bool accepts(const transport::CanFrame& frame) const;
};

}  // namespace kestrum::vci
