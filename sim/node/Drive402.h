#pragma once
// The drive side of a simulated motor controller: the CiA 402 power state
// machine and the motion of its modes on a simple model of a motor without
// load, in position increments, moving an axis that has a reference switch
// and can be blocked.
#include <cstdint>

#include "SimNode.h"
#include "canopen/Cia402.h"

namespace kestrum::sim {

class Drive402 : public NodeBehaviour {
 public:
  using PowerState = canopen::cia402::PowerState;

  /// Whether `node` has the objects the drive needs (controlword, statusword).
  static bool fits(const SimNode& node);

  std::uint32_t checkWrite(SimNode& node, std::uint16_t index, std::uint8_t sub, const Bytes& value) override;
  void written(SimNode& node, std::uint16_t index, std::uint8_t sub, std::uint64_t nowUs) override;
  std::uint64_t tick(SimNode& node, std::uint64_t nowUs) override;
  void reset(SimNode& node, ResetKind kind, std::uint64_t nowUs) override;
  void sync(SimNode& node, std::uint64_t nowUs) override;
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
  /// The reference switch on digital input 6: where it is actuated, in
  /// revolutions of the output (load) side, +/- `halfWidth`; `opener` wires it
  /// normally closed (the input is high while the switch is not actuated).
  void setReferenceSwitch(SimNode& node, double atLoadRevs, double halfWidth, bool opener);
  /// No reference switch on the axis: input 6 stays as it is wired (low).
  void removeReferenceSwitch(SimNode& node) { setReferenceSwitch(node, 0.0, -1.0, false); }

  PowerState state() const { return state_; }
  double position() const { return pos_; }
  double velocity() const { return vel_; }
  bool homed() const { return homed_; }

  /// Set-up runs take this long (modes -1 and -2).
  static constexpr std::uint64_t kSetupUs = 3000000;
  static constexpr std::uint64_t kShortSetupUs = 1000000;
  /// Digital input 6, where the reference switch is wired (0x60FD bit 21).
  static constexpr std::uint32_t kReferenceInput = 1u << 21;

 private:
  enum class HomingPhase { Idle, Search, BackOff, Done, Error };
  enum class SetupPhase { Idle, Running, Done, Failed };

  void command(SimNode& node, std::uint16_t controlword, std::uint64_t nowUs);
  void enter(PowerState state);
  /// Drops any motion in progress: the drive holds where it stands.
  void hold();
  /// One step of the motion of the active mode over `dt` seconds.
  void move(SimNode& node, double dt, std::uint64_t nowUs);
  void moveProfilePosition(SimNode& node, double dt);
  void moveProfileVelocity(SimNode& node, double dt);
  void moveVelocityMode(SimNode& node, double dt);
  void moveHoming(SimNode& node, double dt);
  void moveInterpolated(std::uint64_t nowUs);
  void moveTorque(SimNode& node, double dt);
  void moveSetup(SimNode& node, std::uint64_t nowUs);
  /// Ramps the velocity toward `target` with `accel` when speeding up and
  /// `decel` when slowing down or reversing (increments/s, /s²).
  void rampTo(double target, double accel, double decel, double dt);
  void newSetPoint(SimNode& node);
  void startHoming(SimNode& node);
  void homeHere(SimNode& node);
  void startSetup(std::uint64_t nowUs);
  void finishSetup(SimNode& node, std::uint64_t nowUs);
  /// Whether the switch the homing method looks for is actuated now.
  bool homingSwitch(const SimNode& node) const;
  /// Position of the axis in revolutions of the output side (gear, feed, polarity).
  double loadRevs(const SimNode& node) const;
  /// Follows a block: the actual position stays, the demand runs on; a lag
  /// beyond the following-error window for its time is a fault.
  void follow(SimNode& node, std::uint64_t nowUs);
  bool standstill() const { return vel_ == 0.0; }
  /// Whether the motion goes on or is about to start (the tick must run).
  bool moving(const SimNode& node) const;
  bool closedLoopEnabled(const SimNode& node) const;
  /// Writes statusword, mode display and actual values into the dictionary.
  void publish(SimNode& node);

  PowerState state_ = PowerState::SwitchOnDisabled;
  std::uint16_t controlword_ = 0;
  std::int8_t mode_ = 0;  ///< the mode in effect (0x6061)
  double pos_ = 0.0;      ///< demand position, increments
  double actual_ = 0.0;   ///< actual position: the demand unless the axis is blocked
  double vel_ = 0.0;      ///< demand velocity, increments per second
  double target_ = 0.0;   ///< profile position: the target the drive holds
  bool targetActive_ = false;  ///< profile position: a set-point is being followed
  bool pending_ = false;       ///< profile position: a buffered next set-point
  double pendingTarget_ = 0.0;
  bool setPointAck_ = false;
  std::uint64_t inWindowSinceUs_ = 0;  ///< profile position: since when within the position window
  bool inWindow_ = false;
  bool ppReached_ = false;  ///< profile position: the window time has passed
  bool limited_ = false;  ///< a set-point was clipped to a limit (internal limit active)
  double vlDemand_ = 0.0;  ///< velocity mode: ramp output, in the mode's own units
  double torque_ = 0.0;    ///< torque mode: actual torque, per mille of the rated current
  // Homing.
  HomingPhase homing_ = HomingPhase::Idle;
  int homingDir_ = 1;
  bool homed_ = false;
  double searchStart_ = 0.0;
  bool switchSeen_ = false;  ///< backing off: the switch was seen on the way back
  // Interpolated position.
  double ipFrom_ = 0.0, ipTo_ = 0.0;
  std::uint64_t ipStartUs_ = 0, ipPeriodUs_ = 0, lastSyncUs_ = 0;
  bool ipSegment_ = false;
  // Set-up runs.
  SetupPhase setup_ = SetupPhase::Idle;
  std::uint64_t setupStartUs_ = 0;
  double setupOrigin_ = 0.0;
  bool longSetupDone_ = false, shortSetupDone_ = false;
  // Following error.
  std::uint64_t lagSinceUs_ = 0;
  bool lagging_ = false;
  bool followingError_ = false;

  std::uint64_t lastUs_ = 0;
  std::uint64_t gridUs_ = 0;  ///< where the motion's 1 ms tick grid started
  std::uint64_t nowUs_ = 0;  ///< time of the latest call, for the window times
  bool ticking_ = false;
  bool supply_ = true;
  bool failSetup_ = false;
  bool blocked_ = false;
  double switchAt_ = 1.0, switchHalfWidth_ = 0.05;
  bool switchOpener_ = false;
  std::uint32_t switchBits_ = 0;  ///< what the switch last put on the inputs
};

}  // namespace kestrum::sim
