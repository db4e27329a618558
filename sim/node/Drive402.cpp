#include "Drive402.h"

#include <algorithm>
#include <cmath>

namespace kestrum::sim {

namespace cia402 = canopen::cia402;
namespace cw = cia402::cw;
namespace sw = cia402::sw;
namespace mode = cia402::mode;
using P = cia402::PowerState;

namespace {

constexpr std::uint64_t kTickUs = 1000;

// Objects of the modes beside those the protocol core names.
constexpr std::uint16_t kVlTarget = 0x6042;
constexpr std::uint16_t kVlDemand = 0x6043;
constexpr std::uint16_t kVlActual = 0x6044;
constexpr std::uint16_t kVlAcceleration = 0x6048;
constexpr std::uint16_t kVlDeceleration = 0x6049;
constexpr std::uint16_t kPositionDemand = 0x6062;
constexpr std::uint16_t kPositionActualInternal = 0x6063;
constexpr std::uint16_t kProfileVelocity = 0x6081;
constexpr std::uint16_t kProfileAcceleration = 0x6083;
constexpr std::uint16_t kProfileDeceleration = 0x6084;
constexpr std::uint16_t kQuickStopDeceleration = 0x6085;

std::int64_t number(const SimNode& node, std::uint16_t index, std::int64_t fallback, std::uint8_t sub = 0) {
  return node.dictionary().number(index, sub).value_or(fallback);
}

/// A rate from the dictionary, never zero so that every ramp ends.
double rate(const SimNode& node, std::uint16_t index, double fallback) {
  return std::max(1.0, double(number(node, index, std::int64_t(fallback))));
}

/// Velocity mode ramps: delta speed per delta time (seconds).
double vlRate(const SimNode& node, std::uint16_t index) {
  const double speed = double(number(node, index, 1000, 1));
  const double time = double(std::max<std::int64_t>(1, number(node, index, 1, 2)));
  return std::max(1.0, speed / time);
}

double sign(double v) { return v > 0 ? 1.0 : v < 0 ? -1.0 : 0.0; }

/// Quick stop option codes 5..8 stay in quick stop active after the stop.
bool staysInQuickStop(const SimNode& node) {
  const std::int64_t option = number(node, cia402::kQuickStopOption, 2);
  return option >= 5 && option <= 8;
}

}  // namespace

bool Drive402::fits(const SimNode& node) {
  return node.dictionary().hasObject(cia402::kControlword) && node.dictionary().hasObject(cia402::kStatusword);
}

void Drive402::reset(SimNode& node, ResetKind kind, std::uint64_t /*nowUs*/) {
  // The power stage starts disabled; the encoder count survives everything
  // but a power cycle, as the motor has not moved.
  if (kind == ResetKind::PowerOn) pos_ = 0.0;
  vel_ = vlDemand_ = 0.0;
  target_ = pos_;
  targetActive_ = pending_ = setPointAck_ = false;
  controlword_ = std::uint16_t(number(node, cia402::kControlword, 0));
  mode_ = std::int8_t(number(node, cia402::kModesOfOperation, 0));
  ticking_ = false;
  state_ = P::SwitchOnDisabled;  // not ready to switch on passes at once: no self-test to wait for
  publish(node);
}

bool Drive402::persistent(std::uint16_t index, std::uint8_t /*sub*/) const {
  switch (index) {
    case cia402::kControlword:
    case cia402::kStatusword:
    case cia402::kModesDisplay:
    case cia402::kPositionActual:
    case cia402::kVelocityActual:
    case cia402::kTargetPosition:
    case cia402::kTargetVelocity:
    case kPositionDemand:
    case kPositionActualInternal:
    case kVlTarget:
    case kVlDemand:
    case kVlActual:
      return false;
    default:
      return true;
  }
}

void Drive402::written(SimNode& node, std::uint16_t index, std::uint8_t /*sub*/, std::uint64_t nowUs) {
  if (index == cia402::kControlword) {
    command(node, std::uint16_t(number(node, cia402::kControlword, 0)), nowUs);
  } else if (index == cia402::kModesOfOperation && standstill()) {
    mode_ = std::int8_t(number(node, cia402::kModesOfOperation, mode_));
    target_ = pos_;
    targetActive_ = pending_ = false;
    vlDemand_ = 0.0;
  }
  publish(node);
  if (state_ == P::OperationEnabled || state_ == P::QuickStopActive || state_ == P::FaultReactionActive)
    node.wake(*this, nowUs);
}

void Drive402::command(SimNode& node, std::uint16_t controlword, std::uint64_t /*nowUs*/) {
  const std::uint16_t previous = controlword_;
  controlword_ = controlword;
  const auto cmd = cia402::commandOf(controlword, previous);
  using C = cia402::Command;
  if (cmd) {
    switch (state_) {
      case P::SwitchOnDisabled:
        if (*cmd == C::Shutdown) enter(P::ReadyToSwitchOn);  // 2
        break;
      case P::ReadyToSwitchOn:
        if (*cmd == C::SwitchOn) {
          enter(P::SwitchedOn);  // 3
        } else if (*cmd == C::EnableOperation) {
          enter(P::SwitchedOn);  // 3 + 4
          enter(P::OperationEnabled);
        } else if (*cmd == C::DisableVoltage || *cmd == C::QuickStop) {
          enter(P::SwitchOnDisabled);  // 7
        }
        break;
      case P::SwitchedOn:
        if (*cmd == C::EnableOperation) enter(P::OperationEnabled);  // 4
        else if (*cmd == C::Shutdown) enter(P::ReadyToSwitchOn);  // 6
        else if (*cmd == C::DisableVoltage || *cmd == C::QuickStop) enter(P::SwitchOnDisabled);  // 10
        break;
      case P::OperationEnabled:
        if (*cmd == C::SwitchOn) enter(P::SwitchedOn);  // 5
        else if (*cmd == C::Shutdown) enter(P::ReadyToSwitchOn);  // 8
        else if (*cmd == C::DisableVoltage) enter(P::SwitchOnDisabled);  // 9
        else if (*cmd == C::QuickStop) enter(P::QuickStopActive);  // 11
        break;
      case P::QuickStopActive:
        if (*cmd == C::DisableVoltage) enter(P::SwitchOnDisabled);  // 12
        else if (*cmd == C::EnableOperation && staysInQuickStop(node)) enter(P::OperationEnabled);  // 16
        break;
      case P::Fault:
        if (*cmd == C::FaultReset) enter(P::SwitchOnDisabled);  // 15
        break;
      default:
        break;
    }
  }
  // Profile position handshake: the set-point is taken on the rising edge of
  // bit 4 and acknowledged until the master takes bit 4 back.
  const bool newPoint = (controlword & cw::kNewSetPoint) && !(previous & cw::kNewSetPoint);
  if (!(controlword & cw::kNewSetPoint)) setPointAck_ = false;
  if (newPoint && state_ == P::OperationEnabled && mode_ == mode::kProfilePosition) newSetPoint(node);
}

void Drive402::enter(PowerState state) {
  const bool wasEnabled = state_ == P::OperationEnabled || state_ == P::QuickStopActive;
  if (state == P::OperationEnabled && !wasEnabled) {
    // A freshly enabled drive holds where it stands until it gets a set-point.
    target_ = pos_;
    targetActive_ = pending_ = false;
    vlDemand_ = 0.0;
  }
  if (state == P::QuickStopActive || state == P::FaultReactionActive) {
    // A stopped move is over: back in operation the drive holds where it stopped.
    targetActive_ = pending_ = false;
  }
  if (state != P::OperationEnabled && state != P::QuickStopActive && state != P::FaultReactionActive) {
    // Without the power stage the brake holds the motor.
    vel_ = vlDemand_ = 0.0;
    targetActive_ = pending_ = false;
  }
  state_ = state;
}

void Drive402::fault(SimNode& node, std::uint16_t emcyCode, std::uint64_t nowUs) {
  node.raiseEmergency(emcyCode, nowUs);
  if (state_ == P::Fault || state_ == P::FaultReactionActive) return;
  enter(P::FaultReactionActive);  // 13: the motor is stopped before the stage goes off
  setPointAck_ = false;
  publish(node);
  node.wake(*this, nowUs);
}

void Drive402::setSupply(SimNode& node, bool on, std::uint64_t nowUs) {
  if (supply_ == on) return;
  supply_ = on;
  if (!on) fault(node, 0x3100, nowUs);
  publish(node);
}

void Drive402::newSetPoint(SimNode& node) {
  const double value = double(number(node, cia402::kTargetPosition, 0));
  const bool relative = controlword_ & cw::kRelative;
  const double base = pending_ ? pendingTarget_ : target_;
  const double next = relative ? base + value : value;
  setPointAck_ = true;
  const bool idle = !targetActive_ || (pos_ == target_ && standstill());
  if (idle || (controlword_ & cw::kChangeSetImmediately)) {
    target_ = next;
    targetActive_ = true;
    pending_ = false;
  } else {
    pendingTarget_ = next;  // taken when the current target is reached
    pending_ = true;
  }
}

bool Drive402::moving(const SimNode& node) const {
  if (!standstill()) return true;
  if (state_ != P::OperationEnabled || (controlword_ & cw::kHalt)) return false;
  const std::uint16_t vlRun = cw::kRampEnable | cw::kRampUnlock | cw::kReferenceRamp;
  switch (mode_) {
    case mode::kProfilePosition: return targetActive_ && (pos_ != target_ || pending_);
    case mode::kProfileVelocity: return number(node, cia402::kTargetVelocity, 0) != 0;
    case mode::kVelocity: return (controlword_ & vlRun) == vlRun && number(node, kVlTarget, 0) != 0;
    default: return false;
  }
}

std::uint64_t Drive402::tick(SimNode& node, std::uint64_t nowUs) {
  const double dt = ticking_ && nowUs > lastUs_ ? double(nowUs - lastUs_) / 1e6 : 0.0;
  lastUs_ = nowUs;
  const double quickStopDecel = rate(node, kQuickStopDeceleration, 10000);
  switch (state_) {
    case P::OperationEnabled:
      move(node, dt);
      break;
    case P::QuickStopActive: {
      const std::int64_t option = number(node, cia402::kQuickStopOption, 2);
      if (option == 0) vel_ = 0.0;  // the power stage goes off at once
      const bool profileRamp = option == 1 || option == 5;
      rampTo(0.0, 1.0, profileRamp ? rate(node, kProfileDeceleration, 10000) : quickStopDecel, dt);
      pos_ += vel_ * dt;
      if (standstill() && !staysInQuickStop(node)) enter(P::SwitchOnDisabled);  // 12
      break;
    }
    case P::FaultReactionActive:
      rampTo(0.0, 1.0, quickStopDecel, dt);
      pos_ += vel_ * dt;
      if (standstill()) enter(P::Fault);  // 14
      break;
    default:
      break;
  }
  // A new mode of operation takes effect only at standstill.
  const std::int8_t requested = std::int8_t(number(node, cia402::kModesOfOperation, mode_));
  if (requested != mode_ && standstill()) {
    mode_ = requested;
    target_ = pos_;
    targetActive_ = pending_ = false;
    vlDemand_ = 0.0;
  }
  publish(node);
  const bool stopping = (state_ == P::QuickStopActive || state_ == P::FaultReactionActive) && !standstill();
  ticking_ = moving(node) || stopping || state_ == P::FaultReactionActive;
  return ticking_ ? nowUs + kTickUs : kNever;
}

void Drive402::rampTo(double target, double accel, double decel, double dt) {
  if (vel_ == target) return;
  const bool speedingUp = (vel_ == 0.0 || sign(vel_) == sign(target)) && std::fabs(target) > std::fabs(vel_);
  const double step = (speedingUp ? accel : decel) * dt;
  const double dv = target - vel_;
  vel_ = std::fabs(dv) <= step ? target : vel_ + sign(dv) * step;
}

void Drive402::move(SimNode& node, double dt) {
  switch (mode_) {
    case mode::kProfilePosition: moveProfilePosition(node, dt); break;
    case mode::kProfileVelocity: moveProfileVelocity(node, dt); break;
    case mode::kVelocity: moveVelocityMode(node, dt); break;
    default:
      // Modes the simulator does not drive come to a stop.
      rampTo(0.0, 1.0, rate(node, kProfileDeceleration, 10000), dt);
      pos_ += vel_ * dt;
      break;
  }
}

void Drive402::moveProfilePosition(SimNode& node, double dt) {
  const double accel = rate(node, kProfileAcceleration, 10000);
  const double decel = rate(node, kProfileDeceleration, 10000);
  if ((controlword_ & cw::kHalt) || !targetActive_) {
    rampTo(0.0, accel, decel, dt);
    pos_ += vel_ * dt;
    return;
  }
  if (pending_ && pos_ == target_ && standstill()) {
    target_ = pendingTarget_;
    pending_ = false;
  }
  const double dist = target_ - pos_;
  if (dist == 0.0 && standstill()) return;
  // The fastest speed from which the deceleration still stops at the target:
  // a trapezoid, or a triangle on short moves.
  const double vmax = double(std::max<std::int64_t>(0, number(node, kProfileVelocity, 1000)));
  const double wanted = sign(dist) * std::min(vmax, std::sqrt(2.0 * decel * std::fabs(dist)));
  rampTo(wanted, accel, decel, dt);
  const double step = vel_ * dt;
  const bool arrives = step * dist > 0 && std::fabs(step) >= std::fabs(dist);
  if (arrives && std::fabs(vel_) <= std::sqrt(2.0 * decel * std::fabs(dist)) + decel * dt) {
    pos_ = target_;
    vel_ = 0.0;
  } else {
    pos_ += step;
  }
}

void Drive402::moveProfileVelocity(SimNode& node, double dt) {
  const double accel = rate(node, kProfileAcceleration, 10000);
  const double decel = rate(node, kProfileDeceleration, 10000);
  const double target = (controlword_ & cw::kHalt) ? 0.0 : double(number(node, cia402::kTargetVelocity, 0));
  rampTo(target, accel, decel, dt);
  pos_ += vel_ * dt;
}

void Drive402::moveVelocityMode(SimNode& node, double dt) {
  // Ramp function generator: bit 4 off forces its output to zero, bit 5 off
  // holds it, bit 6 off sets its input to zero; halt brings it to zero.
  const bool halt = controlword_ & cw::kHalt;
  const double input = (controlword_ & cw::kReferenceRamp) && !halt ? double(number(node, kVlTarget, 0)) : 0.0;
  vel_ = vlDemand_;
  if (!(controlword_ & cw::kRampEnable)) {
    vel_ = 0.0;
  } else if ((controlword_ & cw::kRampUnlock) || halt) {
    rampTo(input, vlRate(node, kVlAcceleration), vlRate(node, kVlDeceleration), dt);
  }
  vlDemand_ = vel_;
  pos_ += vel_ * dt;
}

void Drive402::publish(SimNode& node) {
  std::uint16_t status = cia402::statusBitsOf(state_) | sw::kRemote;
  if (!supply_) status &= std::uint16_t(~sw::kVoltageEnabled);
  const bool halt = controlword_ & cw::kHalt;
  if (state_ == P::OperationEnabled) {
    switch (mode_) {
      case mode::kProfilePosition: {
        const bool reached = halt || !targetActive_ ? standstill() : pos_ == target_ && standstill() && !pending_;
        if (reached) status |= sw::kTargetReached;
        if (setPointAck_) status |= sw::kSetPointAcknowledge;
        break;
      }
      case mode::kProfileVelocity: {
        const double target = halt ? 0.0 : double(number(node, cia402::kTargetVelocity, 0));
        if (vel_ == target) status |= sw::kTargetReached;
        if (standstill()) status |= sw::kSpeedZero;
        break;
      }
      default:
        break;
    }
  } else if (state_ == P::QuickStopActive && standstill()) {
    status |= sw::kTargetReached;
  }
  ObjectDictionary& od = node.dictionary();
  bool changed = false;
  auto set = [&](std::uint16_t index, std::int64_t value) {
    if (!od.hasObject(index) || od.number(index, 0) == value) return;
    od.setNumber(index, 0, value);
    changed = true;
  };
  const std::int64_t position = std::llround(pos_);
  set(cia402::kStatusword, status);
  set(cia402::kModesDisplay, mode_);
  set(cia402::kPositionActual, position);
  set(kPositionDemand, position);
  set(kPositionActualInternal, position);
  set(cia402::kVelocityActual, std::llround(vel_));
  set(kVlDemand, std::llround(vlDemand_));
  set(kVlActual, std::llround(mode_ == mode::kVelocity ? vel_ : 0.0));
  if (changed) node.touched();
}

}  // namespace kestrum::sim
