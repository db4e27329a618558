#pragma once
#include <cstdint>

/// Bits of ConnectorFrame::kind: what a frame is besides a standard data frame.
enum : std::uint8_t { kFrameExtended = 0x01, kFrameRemote = 0x02 };

/// One bus frame as the connector hands it on (to the message filter, the CAN
/// log and the received-PDO view): received frames and the application's own
/// transmitted ones, numbered in arrival order.
struct ConnectorFrame {
  std::uint8_t data[8] = {};  ///< data bytes as delivered by the library
  std::uint32_t time = 0;     ///< library time stamp (0 for transmitted frames)
  std::uint16_t id = 0;       ///< CAN identifier
  std::uint8_t dlc = 0;       ///< data length
  std::uint8_t isTx = 0;      ///< 1 for a frame this application transmitted
  std::uint32_t seq = 0;      ///< running number since the connector was created, from 1
  std::uint8_t kind = 0;      ///< kFrameExtended / kFrameRemote bits; 0 for a standard data frame
  std::uint32_t wholeId = 0;  ///< the whole identifier: 29 bits for an extended frame, else `id`

  /// Only standard data frames carry CANopen traffic this application answers to.
  bool isStandardData() const { return kind == 0; }
};
