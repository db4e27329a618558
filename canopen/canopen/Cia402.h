#pragma once
// CiA 402 (drives and motion control): the power state machine as the
// controlword commands it and the statusword shows it, and the modes of
// operation. The client side only names and decodes; it never decides to
// move a drive.
#include <cstdint>
#include <optional>

namespace kestrum::canopen::cia402 {

// Objects.
constexpr std::uint16_t kControlword = 0x6040;
constexpr std::uint16_t kStatusword = 0x6041;
constexpr std::uint16_t kQuickStopOption = 0x605A;
constexpr std::uint16_t kModesOfOperation = 0x6060;
constexpr std::uint16_t kModesDisplay = 0x6061;
constexpr std::uint16_t kPositionActual = 0x6064;
constexpr std::uint16_t kVelocityActual = 0x606C;
constexpr std::uint16_t kTargetTorque = 0x6071;
constexpr std::uint16_t kTargetPosition = 0x607A;
constexpr std::uint16_t kHomingMethod = 0x6098;
constexpr std::uint16_t kTargetVelocity = 0x60FF;

// ---- Controlword -----------------------------------------------------------
namespace cw {
constexpr std::uint16_t kSwitchOn = 0x0001;
constexpr std::uint16_t kEnableVoltage = 0x0002;
constexpr std::uint16_t kQuickStop = 0x0004;  ///< 0 commands a quick stop
constexpr std::uint16_t kEnableOperation = 0x0008;
constexpr std::uint16_t kFaultReset = 0x0080;  ///< acts on its rising edge
constexpr std::uint16_t kHalt = 0x0100;
// Mode-specific bits.
constexpr std::uint16_t kNewSetPoint = 0x0010;            ///< profile position
constexpr std::uint16_t kChangeSetImmediately = 0x0020;   ///< profile position
constexpr std::uint16_t kRelative = 0x0040;               ///< profile position
constexpr std::uint16_t kChangeOnSetPoint = 0x0200;       ///< profile position
constexpr std::uint16_t kHomingStart = 0x0010;            ///< homing
constexpr std::uint16_t kEnableInterpolation = 0x0010;    ///< interpolated position
constexpr std::uint16_t kRampEnable = 0x0010;             ///< velocity (vl)
constexpr std::uint16_t kRampUnlock = 0x0020;             ///< velocity (vl)
constexpr std::uint16_t kReferenceRamp = 0x0040;          ///< velocity (vl)

// The state-machine commands: the low byte with the mode bits clear.
constexpr std::uint16_t kShutdown = 0x0006;
constexpr std::uint16_t kSwitchOnCommand = 0x0007;
constexpr std::uint16_t kDisableVoltage = 0x0000;
constexpr std::uint16_t kQuickStopCommand = 0x0002;
constexpr std::uint16_t kDisableOperation = 0x0007;
constexpr std::uint16_t kEnableOperationCommand = 0x000F;
constexpr std::uint16_t kFaultResetCommand = 0x0080;
}  // namespace cw

/// The command a controlword gives the state machine (its bits 0..3 and 7).
enum class Command { Shutdown, SwitchOn, EnableOperation, DisableVoltage, QuickStop, FaultReset };
/// Decodes a controlword by the command masks of CiA 402. `previous` is the
/// controlword before it, for the rising edge of fault reset. SwitchOn
/// stands for "disable operation" too (the same bits).
std::optional<Command> commandOf(std::uint16_t controlword, std::uint16_t previous = 0);

// ---- Statusword ------------------------------------------------------------
namespace sw {
constexpr std::uint16_t kReadyToSwitchOn = 0x0001;
constexpr std::uint16_t kSwitchedOn = 0x0002;
constexpr std::uint16_t kOperationEnabled = 0x0004;
constexpr std::uint16_t kFault = 0x0008;
constexpr std::uint16_t kVoltageEnabled = 0x0010;
constexpr std::uint16_t kQuickStop = 0x0020;  ///< 0 while a quick stop is active
constexpr std::uint16_t kSwitchOnDisabled = 0x0040;
constexpr std::uint16_t kWarning = 0x0080;
constexpr std::uint16_t kRemote = 0x0200;
constexpr std::uint16_t kTargetReached = 0x0400;
constexpr std::uint16_t kInternalLimit = 0x0800;
// Mode-specific bits.
constexpr std::uint16_t kSetPointAcknowledge = 0x1000;  ///< profile position
constexpr std::uint16_t kFollowingError = 0x2000;       ///< profile position
constexpr std::uint16_t kSpeedZero = 0x1000;            ///< profile velocity
constexpr std::uint16_t kMaxSlippage = 0x2000;          ///< profile velocity
constexpr std::uint16_t kHomingAttained = 0x1000;       ///< homing
constexpr std::uint16_t kHomingError = 0x2000;          ///< homing
constexpr std::uint16_t kInterpolationActive = 0x1000;  ///< interpolated position
}  // namespace sw

enum class PowerState {
  NotReadyToSwitchOn,
  SwitchOnDisabled,
  ReadyToSwitchOn,
  SwitchedOn,
  OperationEnabled,
  QuickStopActive,
  FaultReactionActive,
  Fault,
  Unknown,  ///< a bit pattern CiA 402 does not define
};
/// The power state a statusword shows.
PowerState stateOf(std::uint16_t statusword);
/// The state's name as CiA 402 writes it ("Switch on disabled", ...).
const char* stateName(PowerState state);
/// The statusword bits 0..6 of a state, as a drive reports it (quick stop bit
/// set outside quick stop active; voltage enabled from ready to switch on on).
std::uint16_t statusBitsOf(PowerState state);

/// The controlword command for one transition of the state diagram from
/// `from` toward `to` (the next step on the shortest path); nullopt when
/// from equals to, when no command leads there (fault reaction active, not
/// ready to switch on, unknown), or when the target is not a state a
/// command can reach.
std::optional<std::uint16_t> nextCommand(PowerState from, PowerState to);

// ---- Modes of operation ------------------------------------------------------
namespace mode {
constexpr std::int8_t kNone = 0;
constexpr std::int8_t kProfilePosition = 1;
constexpr std::int8_t kVelocity = 2;
constexpr std::int8_t kProfileVelocity = 3;
constexpr std::int8_t kProfileTorque = 4;
constexpr std::int8_t kHoming = 6;
constexpr std::int8_t kInterpolatedPosition = 7;
constexpr std::int8_t kCyclicSyncPosition = 8;
constexpr std::int8_t kCyclicSyncVelocity = 9;
constexpr std::int8_t kCyclicSyncTorque = 10;
}  // namespace mode

}  // namespace kestrum::canopen::cia402
