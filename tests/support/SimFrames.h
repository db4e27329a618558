#pragma once
// Frames of the virtual bus, written in one line by a test.

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "transport/CanFrame.h"

namespace kestrum::sim::test {

using transport::CanFrame;

/// A frame with these data bytes; their count is the data length.
inline CanFrame frame(std::uint32_t id, std::initializer_list<std::uint8_t> bytes = {}, bool extended = false) {
  CanFrame f;
  f.id = id;
  f.extended = extended;
  f.dlc = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), f.data);
  return f;
}

/// The data bytes a frame carries.
inline std::vector<std::uint8_t> bytesOf(const CanFrame& f) { return {f.data, f.data + f.dlc}; }

}  // namespace kestrum::sim::test
