#pragma once
// The I/O of a simulated motor controller beyond its digital inputs (which
// the node debounces itself): digital outputs with their bit mask and the
// firmware's own outputs, and analog inputs whose interrupts send the
// transmit PDOs that map them. Also the checks the firmware makes of its
// motor, encoder and unit settings beyond the dictionary's ranges.
#include <cstdint>
#include <vector>

#include "SimNode.h"

namespace kestrum::sim {

/// Digital outputs (0x60FE) and analog inputs (0x6401 with the interrupt
/// settings 0x6423 to 0x6428), as a NodeBehaviour.
///
/// Outputs: sub-index 1 holds the requested outputs, sub-index 2 the bit mask
/// of the outputs the firmware uses (1 = the firmware's, a write to sub-index
/// 1 does not switch it; 0 = it follows sub-index 1), as the maker's
/// controllers define it. Outputs the firmware always drives itself cannot be
/// switched from the bus either, whatever the mask: on models with an
/// external brake (0x2007) bit 0 is the brake output, on (brake released)
/// while the operation is enabled. A written value keeps the firmware's bits,
/// so reading sub-index 1 shows them.
///
/// Analog inputs are 10-bit values (0..1023). Their changes alone never make
/// an event-driven transmit PDO go out; an interrupt does, while 0x6423 is 1,
/// when the new value of input n
///   - lies above 0x6424:n or below 0x6425:n (every change out there), or
///   - moved at least 0x6426:n away from the value the last interrupt
///     reported, at least 0x6427:n below it or 0x6428:n above it (a delta of
///     0 is switched off).
/// With every condition at its neutral setting (deltas 0, limits at the ends
/// of the range) each change is an interrupt. The PDO's inhibit time holds
/// back a transmission that follows too closely; it then carries the newest values.
class DriveIo : public NodeBehaviour {
 public:
  static constexpr int kAnalogMax = 1023;

  /// Whether `node` has digital outputs or analog inputs.
  static bool fits(const SimNode& node);
  explicit DriveIo(SimNode& node);

  void written(SimNode& node, std::uint16_t index, std::uint8_t sub, std::uint64_t nowUs) override;
  std::uint64_t tick(SimNode& node, std::uint64_t nowUs) override;
  void reset(SimNode& node, ResetKind kind, std::uint64_t nowUs) override;
  bool persistent(std::uint16_t index, std::uint8_t sub) const override;

  /// Sets analog input `channel` (1-based); false when there is no such input
  /// or the value lies outside 0..1023. The value survives resets.
  bool setAnalogInput(SimNode& node, unsigned channel, int value);
  unsigned analogInputs() const { return unsigned(analog_.size()); }
  /// The outputs as driven: the requested ones the mask lets through and the firmware's own.
  std::uint32_t outputs(const SimNode& node) const;
  /// The outputs the firmware drives itself (bit 0 with an external brake).
  std::uint32_t firmwareOutputMask() const { return brake_ ? 1u : 0u; }

 private:
  /// Puts the firmware's outputs into 0x60FE:1.
  void driveFirmwareOutputs(SimNode& node);
  bool interrupt(const SimNode& node, unsigned channel, int previous, int value) const;

  bool brake_ = false;
  std::vector<int> analog_;    ///< the physical analog inputs
  std::vector<int> reported_;  ///< per input: the value of its last interrupt
};

/// The firmware's checks of writes from the bus to its motor, encoder and
/// unit settings, beyond the dictionary's ranges:
///   - motor and encoder configuration (0x2004:7 motor type, 0x2006 pole
///     pairs, 0x2011 encoder type, 0x608F encoder resolution, 0x200D encoder
///     direction, 0x2001 closed-loop enable mode) changes only while the
///     power stage is off: otherwise abort 0x08000022 (device state);
///   - gear ratio and feed constant (0x6091, 0x6092) take no zero numerator
///     or denominator: abort 0x06090030 (value range), as the dictionary's
///     lower limits answer (0x608F has 1).
/// A phase stop current above the phase current is accepted, as the
/// controllers do.
class DriveSettings : public NodeBehaviour {
 public:
  /// Whether `node` has a statusword or the unit factors.
  static bool fits(const SimNode& node);
  std::uint32_t checkWrite(SimNode& node, std::uint16_t index, std::uint8_t sub, const Bytes& value) override;
};

}  // namespace kestrum::sim
