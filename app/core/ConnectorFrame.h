#pragma once
#include <cstdint>

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
};
