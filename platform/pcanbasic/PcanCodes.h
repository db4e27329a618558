#pragma once
// Conversions between PCAN-Basic's numbers and the project's transports, free
// of I/O so they can be checked on their own.

#include <optional>

#include "PCANBasic.h"
#include "transport/CanFrame.h"

namespace kestrum::pcan {

/// kbit/s of one of PCAN-Basic's predefined bit-rate codes; nothing for any
/// other code (this stand-in runs only the predefined rates).
std::optional<unsigned> baudCodeToKbit(TPCANBaudrate code);

/// English text of a status code; nothing for a value that is no single code.
const char* statusText(TPCANStatus status);

/// Fills `msg` (and `ts` when not null) from a received data or remote frame.
void toPcanMessage(const transport::CanFrame& frame, TPCANMsg& msg, TPCANTimestamp* ts);

/// Checks a message handed to CAN_Write and turns it into a frame.
/// PCAN_ERROR_OK, PCAN_ERROR_ILLDATA (length > 8) or PCAN_ERROR_ILLPARAMVAL
/// (identifier out of range, message type this stand-in cannot send).
TPCANStatus fromPcanMessage(const TPCANMsg& msg, transport::CanFrame& frame);

/// Bus state after a SocketCAN error frame, starting from `current`: bus-off,
/// error passive, warning, overrun, or OK again once the controller is back
/// to error active. Errors that do not change the state leave `current`.
TPCANStatus busStateAfter(const transport::CanFrame& errorFrame, TPCANStatus current);

/// The status message PCAN-Basic queues when the bus state changes: type
/// PCAN_MESSAGE_STATUS, length 4, the new state big-endian in DATA[0..3].
void statusMessage(TPCANStatus state, TPCANMsg& msg);

}  // namespace kestrum::pcan
