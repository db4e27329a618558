#pragma once
// The drive side of a simulated motor controller: the CiA 402 power state
// machine and the motion of the modes it simulates, on a simple model of an
// ideal motor (no load, no following error) in position increments.
#include <cstdint>

#include "SimNode.h"
#include "canopen/Cia402.h"

namespace kestrum::sim {

class Drive402 : public NodeBehaviour {
 public:
  using PowerState = canopen::cia402::PowerState;

  /// Whether `node` has the objects the drive needs (controlword, statusword).
  static bool fits(const SimNode& node);

  void written(SimNode& node, std::uint16_t index, std::uint8_t sub, std::uint64_t nowUs) override;
  std::uint64_t tick(SimNode& node, std::uint64_t nowUs) override;
  void reset(SimNode& node, ResetKind kind, std::uint64_t nowUs) override;
  bool persistent(std::uint16_t index, std::uint8_t sub) const override;

  /// A fault of the drive: sends the emergency and passes through fault
  /// reaction active (the motor stops) to fault.
  void fault(SimNode& node, std::uint16_t emcyCode, std::uint64_t nowUs);

  /// Switches the motor supply: off is a fault (emergency 0x3100) and clears
  /// "voltage enabled"; on restores the voltage, the fault stays until reset.
  void setSupply(SimNode& node, bool on, std::uint64_t nowUs);
  bool supplyOn() const { return supply_; }
  /// The next closed-loop set-up run (modes -1/-2) fails instead of measuring.
  void failNextSetup() { failSetup_ = true; }
  /// A mechanical block: the motor cannot move (following error, block homing).
  void setBlocked(bool blocked) { blocked_ = blocked; }

  PowerState state() const { return state_; }
  double position() const { return pos_; }
  double velocity() const { return vel_; }

 private:
  void command(SimNode& node, std::uint16_t controlword, std::uint64_t nowUs);
  void enter(PowerState state);
  /// One step of the motion of the active mode over `dt` seconds.
  void move(SimNode& node, double dt);
  void moveProfilePosition(SimNode& node, double dt);
  void moveProfileVelocity(SimNode& node, double dt);
  void moveVelocityMode(SimNode& node, double dt);
  /// Ramps the velocity toward `target` with `accel` when speeding up and
  /// `decel` when slowing down or reversing (increments/s, /s²).
  void rampTo(double target, double accel, double decel, double dt);
  void newSetPoint(SimNode& node);
  bool standstill() const { return vel_ == 0.0; }
  /// Whether the motion goes on or is about to start (the tick must run).
  bool moving(const SimNode& node) const;
  /// Writes statusword, mode display and actual values into the dictionary.
  void publish(SimNode& node);

  PowerState state_ = PowerState::SwitchOnDisabled;
  std::uint16_t controlword_ = 0;
  std::int8_t mode_ = 0;  ///< the mode in effect (0x6061)
  double pos_ = 0.0;      ///< increments
  double vel_ = 0.0;      ///< increments per second
  double target_ = 0.0;   ///< profile position: the target the drive holds
  bool targetActive_ = false;  ///< profile position: a set-point is being followed
  bool pending_ = false;       ///< profile position: a buffered next set-point
  double pendingTarget_ = 0.0;
  bool setPointAck_ = false;
  double vlDemand_ = 0.0;  ///< velocity mode: ramp output
  std::uint64_t lastUs_ = 0;
  bool ticking_ = false;
  bool supply_ = true;
  bool failSetup_ = false;
  bool blocked_ = false;
};

}  // namespace kestrum::sim
