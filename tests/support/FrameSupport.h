#pragma once
// A frame as the connector hands it on, written in one line by a test.

#include <cstdint>
#include <initializer_list>

#include "ConnectorFrame.h"

namespace kestrum::test {

/// `bytes` become the data and the length; `tx` marks a frame the
/// application sent itself.
inline ConnectorFrame frame(std::uint16_t id, std::initializer_list<std::uint8_t> bytes, std::uint32_t time = 0,
                            bool tx = false) {
  ConnectorFrame f;
  f.id = id;
  f.time = time;
  f.isTx = tx ? 1 : 0;
  int i = 0;
  for (std::uint8_t b : bytes) f.data[i++] = b;
  f.dlc = std::uint8_t(bytes.size());
  return f;
}

}  // namespace kestrum::test
