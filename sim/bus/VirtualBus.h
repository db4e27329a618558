#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "transport/CanFrame.h"

namespace kestrum::sim {

using transport::CanFrame;

/// Anything attached to the virtual bus: a network client of the socketcand
/// server, a simulated controller, a test probe.
class BusPort {
 public:
  virtual ~BusPort() = default;
  /// Called for every frame on the bus except those this port submitted.
  /// Runs on a bus thread: must return quickly and must not block; it may call
  /// VirtualBus::submit (such frames are delivered after the current one).
  virtual void deliver(const CanFrame& frame) = 0;
  /// Bit rate this port runs at in kbit/s, 0 = follows the bus. A port whose
  /// rate differs from a rated bus neither sends nor receives, as on a real bus.
  /// Between two ports a frame passes only when their rates are compatible:
  /// equal, or either of them 0 (the sender's rate as it was when it sent).
  virtual unsigned bitrateKbit() const { return 0; }
};

/// Seeded fault injection; probabilities are per delivered frame.
struct FaultConfig {
  double drop = 0.0;
  double duplicate = 0.0;
  double corrupt = 0.0;        ///< flips one random data bit (frames with data)
  double delay = 0.0;          ///< probability that a frame is held back
  unsigned delayMs = 0;        ///< how long a held-back frame waits
  /// Above delayMs: a held-back frame waits a random time from delayMs to
  /// delayMaxMs (drawn from the seeded generator), so late frames also
  /// overtake one another as they would behind a busy gateway.
  unsigned delayMaxMs = 0;
  double foreignPerSecond = 0; ///< random frames from a foreign node
  std::uint64_t seed = 1;
};

/// An in-memory CAN bus. Thread-safe; a frame submitted by one port reaches
/// every other attached port exactly once (unless a fault drops it), in the
/// order the bus puts them on the wire.
///
/// Unpaced (bit rate 0): frames are delivered as fast as submitted.
/// Paced: frames wait for the wire; each occupies its bit time, and among the
/// waiting frames the lowest identifier wins arbitration.
class VirtualBus {
 public:
  explicit VirtualBus(unsigned bitrateKbit = 0);
  ~VirtualBus();
  VirtualBus(const VirtualBus&) = delete;
  VirtualBus& operator=(const VirtualBus&) = delete;

  void attach(BusPort* port);
  /// After detach returns, the port receives no further call.
  void detach(BusPort* port);

  /// Puts a frame on the bus on behalf of `from` (may be null for the bus itself).
  void submit(BusPort* from, const CanFrame& frame);

  unsigned bitrateKbit() const;
  void setFaults(const FaultConfig& faults);
  /// Writes every delivered frame in candump log format to `path`
  /// ("(SECONDS.MICROSECONDS) BUS ID#DATA", bus time); buffered, flushed about
  /// once a second and when the bus is destroyed. An empty path stops tracing.
  bool setTrace(const std::string& path, const std::string& busName, std::string& error);

  /// Microseconds since the bus was created (the time stamp of delivered frames).
  std::uint64_t nowUs() const;

  /// Bits a frame occupies on the wire: 47 + 8 * dlc (20 more for an extended
  /// identifier; remote frames carry no data bits) plus the stuff bits this
  /// frame's bit pattern actually needs.
  static std::uint32_t frameBits(const CanFrame& frame);

  /// Frames that went on the wire: delivered (duplicates and foreign frames
  /// included) or lost to an injected drop.
  std::uint64_t framesOnWire() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d;
};

}  // namespace kestrum::sim
