#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ConnectorFrame.h"

/// Hands frames from the library's receive thread to the user-interface
/// thread. The writer only copies under a short lock and never waits for the
/// reader. When the reader falls so far behind that the ring is full, the
/// oldest unread frame is dropped and counted; nothing is lost silently.
///
/// The default size holds about half a second of a fully loaded 1 Mbit/s bus
/// (up to ~18,000 short frames/s), far more than a stalled window causes.
class FrameRing {
 public:
  static constexpr std::size_t defaultCapacity = 8192;

  explicit FrameRing(std::size_t capacity = defaultCapacity);

  /// Appends a frame, numbering it with the next `seq` (from 1). Returns the
  /// number it got. Thread-safe.
  std::uint32_t push(const std::uint8_t* data, std::uint32_t time, std::uint16_t id,
                     std::uint8_t dlc, bool transmitted, std::uint8_t kind = 0,
                     std::uint32_t wholeId = 0);

  /// Moves up to `max` of the oldest frames into `out` (replacing its
  /// content) and returns how many frames were dropped since the last call.
  std::uint64_t take(std::vector<ConnectorFrame>& out, std::size_t max);

  std::size_t capacity() const { return slots_.size(); }

 private:
  std::mutex mutex_;
  std::vector<ConnectorFrame> slots_;
  std::size_t head_ = 0;   ///< oldest unread
  std::size_t count_ = 0;  ///< unread frames
  std::uint32_t seq_ = 0;
  std::uint64_t dropped_ = 0;
};
