#pragma once
#include <memory>
#include <string>

#include "CanFrame.h"

namespace kestrum::transport {

enum class ReadStatus {
  Frame,    ///< a frame was stored in the output argument
  Timeout,  ///< nothing arrived within the time-out
  Failed,   ///< the transport is broken (connection lost, interface down); see lastError()
};

/// A connection to one CAN bus. `send` may be called from any thread while one
/// other thread blocks in `read`; everything else belongs to the owning thread.
class CanTransport {
 public:
  virtual ~CanTransport() = default;

  /// Connects to the bus. On failure returns false and leaves a readable reason.
  virtual bool open(std::string& error) = 0;
  /// Disconnects; wakes a blocked `read`, which then returns Failed. Idempotent.
  virtual void close() = 0;
  virtual bool isOpen() const = 0;

  /// Queues one frame for transmission. False (with reason) when the bus is gone
  /// or the frame is invalid (dlc > 8).
  virtual bool send(const CanFrame& frame, std::string& error) = 0;

  /// Waits at most `timeoutMs` (0 = only look) for the next frame.
  virtual ReadStatus read(CanFrame& frame, int timeoutMs) = 0;

  /// Puts the bus at `kbit` kbit/s: a network bus records and announces it, a
  /// SocketCAN interface is configured where permitted and otherwise checked.
  /// False with a reason when the bus cannot run at that rate.
  virtual bool setBitrate(unsigned kbit, std::string& error) = 0;

  /// Reason of the last failure (empty when none).
  virtual std::string lastError() const = 0;
  /// Human-readable name ("127.0.0.1:29536/can0", "socketcan:can0").
  virtual std::string description() const = 0;
};

}  // namespace kestrum::transport
