#pragma once
#include <cstdint>

namespace kestrum::transport {

/// One classic CAN frame as every transport, the stand-ins and the virtual bus
/// exchange it. Bytes beyond `dlc` are zero.
struct CanFrame {
  std::uint32_t id = 0;          ///< 11-bit identifier (29-bit when `extended`)
  std::uint8_t dlc = 0;          ///< 0..8; for a remote frame the requested length
  std::uint8_t data[8] = {};
  bool remote = false;           ///< remote transmission request
  bool extended = false;         ///< 29-bit identifier
  bool error = false;            ///< error frame reported by the controller; `id` holds the error class bits
  std::uint64_t timestampUs = 0; ///< reception time, microseconds on the transport's clock
};

}  // namespace kestrum::transport
