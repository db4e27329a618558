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
constexpr std::uint16_t kVlMinMax = 0x6046;
constexpr std::uint16_t kVlAcceleration = 0x6048;
constexpr std::uint16_t kVlDeceleration = 0x6049;
constexpr std::uint16_t kVlQuickStop = 0x604A;
constexpr std::uint16_t kVlDimensionFactor = 0x604C;
constexpr std::uint16_t kPositionDemand = 0x6062;
constexpr std::uint16_t kPositionActualInternal = 0x6063;
constexpr std::uint16_t kFollowingErrorWindow = 0x6065;
constexpr std::uint16_t kFollowingErrorTimeout = 0x6066;
constexpr std::uint16_t kPositionWindow = 0x6067;
constexpr std::uint16_t kPositionWindowTime = 0x6068;
constexpr std::uint16_t kMaxTorque = 0x6072;
constexpr std::uint16_t kTorqueActual = 0x6077;
constexpr std::uint16_t kHomeOffset = 0x607C;
constexpr std::uint16_t kPolarity = 0x607E;
constexpr std::uint16_t kMaxProfileVelocity = 0x607F;
constexpr std::uint16_t kProfileVelocity = 0x6081;
constexpr std::uint16_t kProfileAcceleration = 0x6083;
constexpr std::uint16_t kProfileDeceleration = 0x6084;
constexpr std::uint16_t kQuickStopDeceleration = 0x6085;
constexpr std::uint16_t kTorqueSlope = 0x6087;
constexpr std::uint16_t kEncoderResolution = 0x608F;
constexpr std::uint16_t kGearRatio = 0x6091;
constexpr std::uint16_t kFeedConstant = 0x6092;
constexpr std::uint16_t kHomingSpeeds = 0x6099;
constexpr std::uint16_t kHomingAcceleration = 0x609A;
constexpr std::uint16_t kIpDataRecord = 0x60C1;
constexpr std::uint16_t kIpTimePeriod = 0x60C2;
constexpr std::uint16_t kDigitalInputs = 0x60FD;
// The maker's closed-loop objects.
constexpr std::uint16_t kClosedLoopEnable = 0x2001;
constexpr std::uint16_t kClosedLoopStatus = 0x200A;
constexpr std::uint16_t kEncoderIndexOffset = 0x200B;
constexpr std::uint16_t kLoadAngle = 0x200C;
constexpr std::uint16_t kExternalReferenceSwitch = 0x2010;

constexpr std::uint16_t kEmcyFollowingError = 0x8611;
constexpr std::uint16_t kEmcyEncoder = 0x7305;  ///< the set-up run saw no encoder signal

constexpr std::int8_t kSetupRun = -1;       ///< closed-loop set-up: load angles and encoder offset
constexpr std::int8_t kShortSetupRun = -2;  ///< closed-loop set-up: encoder offset only

/// Acceleration at the rated current in torque mode (increments/s²), and
/// what friction takes off a motor without torque.
constexpr double kRatedTorqueAcceleration = 200000.0;
constexpr double kFrictionDeceleration = 1000.0;
/// A homing search that travels this many motor revolutions without finding
/// its switch gives up.
constexpr double kHomingSearchRevs = 100.0;
/// A block is recognised once the demand ran this far ahead of the motor.
constexpr double kBlockLag = 50.0;
/// Following error window values that switch the monitoring off.
constexpr std::int64_t kWindowOff = 0xFFFFFFFF;
constexpr double kPi = 3.14159265358979323846;

std::int64_t number(const SimNode& node, std::uint16_t index, std::int64_t fallback, std::uint8_t sub = 0) {
  return node.dictionary().number(index, sub).value_or(fallback);
}

/// A rate from the dictionary, never zero so that every ramp ends.
double rate(const SimNode& node, std::uint16_t index, double fallback, std::uint8_t sub = 0) {
  return std::max(1.0, double(number(node, index, std::int64_t(fallback), sub)));
}

/// A ratio of two sub-indices (numerator 1, denominator 2), 1 where unset or zero.
double ratio(const SimNode& node, std::uint16_t index) {
  const double num = double(number(node, index, 1, 1));
  const double den = double(number(node, index, 1, 2));
  return num > 0 && den > 0 ? num / den : 1.0;
}

/// Velocity mode ramps: delta speed per delta time (seconds).
double vlRate(const SimNode& node, std::uint16_t index) {
  const double speed = double(number(node, index, 1000, 1));
  const double time = double(std::max<std::int64_t>(1, number(node, index, 1, 2)));
  return std::max(1.0, speed / time);
}

/// Increments per second for one unit of the velocity mode (the dimension
/// factor turns the drive's speed into the user's: vl = internal * num / den).
double vlFactor(const SimNode& node) { return 1.0 / ratio(node, kVlDimensionFactor); }

double sign(double v) { return v > 0 ? 1.0 : v < 0 ? -1.0 : 0.0; }

/// One ramp step of `v` toward `target`.
double ramp(double v, double target, double accel, double decel, double dt) {
  if (v == target) return v;
  const bool speedingUp = (v == 0.0 || sign(v) == sign(target)) && std::fabs(target) > std::fabs(v);
  const double step = (speedingUp ? accel : decel) * dt;
  const double dv = target - v;
  return std::fabs(dv) <= step ? target : v + sign(dv) * step;
}

/// Quick stop option codes 5..8 stay in quick stop active after the stop.
bool staysInQuickStop(const SimNode& node) {
  const std::int64_t option = number(node, cia402::kQuickStopOption, 2);
  return option >= 5 && option <= 8;
}

// Homing methods: the standard ones the controllers offer and the maker's
// negative ones, by what they look for and in which direction (+1 clockwise).
enum class Signal { ReferenceInput, ExternalSwitch, NegativeLimit, PositiveLimit, Index, Block, Here };
struct Method {
  std::int8_t number;
  Signal signal;
  int direction;
  bool opener;  ///< the switch is normally closed: actuated = input low
};
constexpr Method kMethods[] = {
    {-2, Signal::Block, +1, false},          {-3, Signal::Block, -1, false},
    {-4, Signal::ExternalSwitch, +1, true},  {-5, Signal::ExternalSwitch, -1, false},
    {-6, Signal::ExternalSwitch, -1, true},  {-7, Signal::ExternalSwitch, +1, false},
    {17, Signal::NegativeLimit, -1, false},  {18, Signal::PositiveLimit, +1, false},
    {19, Signal::ReferenceInput, +1, true},  {20, Signal::ReferenceInput, -1, false},
    {21, Signal::ReferenceInput, -1, true},  {22, Signal::ReferenceInput, +1, false},
    {33, Signal::Index, +1, false},          {34, Signal::Index, -1, false},
    {35, Signal::Here, 0, false},            {37, Signal::Here, 0, false},
};

const Method* methodOf(std::int64_t number) {
  for (const Method& m : kMethods)
    if (m.number == number) return &m;
  return nullptr;
}

bool supportedMode(std::int64_t m) {
  switch (m) {
    case mode::kNone:
    case mode::kProfilePosition:
    case mode::kVelocity:
    case mode::kProfileVelocity:
    case mode::kProfileTorque:
    case mode::kHoming:
    case mode::kInterpolatedPosition:
    case kSetupRun:
    case kShortSetupRun:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool Drive402::fits(const SimNode& node) {
  return node.dictionary().hasObject(cia402::kControlword) && node.dictionary().hasObject(cia402::kStatusword);
}

void Drive402::setReferenceSwitch(SimNode& node, double atLoad, double halfWidth, bool opener) {
  switchAt_ = atLoad;
  switchHalfWidth_ = halfWidth;  // negative: no switch
  switchOpener_ = opener;
  publish(node);
}

void Drive402::reset(SimNode& node, ResetKind kind, std::uint64_t nowUs) {
  // The power stage starts disabled; the encoder count and what the set-up
  // runs measured survive everything but a power cycle.
  if (kind == ResetKind::PowerOn) {
    pos_ = actual_ = 0.0;
    homed_ = longSetupDone_ = shortSetupDone_ = false;
  }
  pos_ = actual_;
  vel_ = vlDemand_ = torque_ = 0.0;
  hold();
  homing_ = HomingPhase::Idle;
  setup_ = SetupPhase::Idle;
  lastSyncUs_ = 0;
  lagging_ = followingError_ = false;
  controlword_ = std::uint16_t(number(node, cia402::kControlword, 0));
  mode_ = std::int8_t(number(node, cia402::kModesOfOperation, 0));
  ticking_ = false;
  nowUs_ = nowUs;
  state_ = P::SwitchOnDisabled;  // not ready to switch on passes at once: no self-test to wait for
  switchBits_ = ~0u;              // the inputs learn the switch afresh
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
    case cia402::kTargetTorque:
    case kPositionDemand:
    case kPositionActualInternal:
    case kTorqueActual:
    case kVlTarget:
    case kVlDemand:
    case kVlActual:
    case kIpDataRecord:
    case kClosedLoopStatus:
    case kExternalReferenceSwitch:
      return false;
    default:
      return true;
  }
}

std::uint32_t Drive402::checkWrite(SimNode& node, std::uint16_t index, std::uint8_t sub, const Bytes& value) {
  const OdEntry* e = node.dictionary().find(index, sub);
  if (!e || e->isString()) return 0;
  const std::int64_t v = decodeNumber(e->dataType, value);
  // 0 is "no method chosen", the dictionary's default: it can be written
  // back, and a reference run started with it ends in a homing error.
  if (index == cia402::kHomingMethod && v != 0 && !methodOf(v)) return sdo_abort::kRange;
  if (index == cia402::kModesOfOperation) {
    if (!supportedMode(v)) return sdo_abort::kRange;
    const bool hasClosedLoop = node.dictionary().hasObject(kClosedLoopStatus);
    if ((v == kSetupRun || v == kShortSetupRun) && !hasClosedLoop) return sdo_abort::kRange;
    // Torque needs the closed loop: the open-loop motor has no current control for it.
    if (v == mode::kProfileTorque && !closedLoopEnabled(node)) return sdo_abort::kDeviceState;
  }
  return 0;
}

void Drive402::written(SimNode& node, std::uint16_t index, std::uint8_t /*sub*/, std::uint64_t nowUs) {
  nowUs_ = nowUs;
  if (index == cia402::kControlword) {
    command(node, std::uint16_t(number(node, cia402::kControlword, 0)), nowUs);
  } else if (index == cia402::kModesOfOperation && standstill()) {
    mode_ = std::int8_t(number(node, cia402::kModesOfOperation, mode_));
    hold();
  }
  publish(node);
  if (state_ == P::OperationEnabled || state_ == P::QuickStopActive || state_ == P::FaultReactionActive)
    node.wake(*this, nowUs);
}

void Drive402::command(SimNode& node, std::uint16_t controlword, std::uint64_t nowUs) {
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
        if (*cmd == C::FaultReset) {
          followingError_ = false;
          enter(P::SwitchOnDisabled);  // 15
          node.raiseEmergency(0, nowUs);  // "error reset": the error register clears
        }
        break;
      default:
        break;
    }
  }
  // Bit 4 starts the work of the mode on its rising edge: the profile
  // position set-point (acknowledged until the master takes bit 4 back), the
  // homing run, the set-up run.
  const bool rising = (controlword & cw::kNewSetPoint) && !(previous & cw::kNewSetPoint);
  const bool falling = !(controlword & cw::kNewSetPoint) && (previous & cw::kNewSetPoint);
  if (!(controlword & cw::kNewSetPoint)) setPointAck_ = false;
  if (state_ != P::OperationEnabled) return;
  if (rising && mode_ == mode::kProfilePosition) newSetPoint(node);
  if (rising && mode_ == mode::kHoming) startHoming(node);
  if (falling && mode_ == mode::kHoming && (homing_ == HomingPhase::Search || homing_ == HomingPhase::BackOff))
    homing_ = HomingPhase::Idle;  // taking bit 4 back interrupts the run
  if (rising && (mode_ == kSetupRun || mode_ == kShortSetupRun)) startSetup(nowUs);
  if (!(controlword & cw::kEnableInterpolation)) ipSegment_ = false;
}

void Drive402::hold() {
  target_ = pos_;
  targetActive_ = pending_ = false;
  inWindow_ = false;
  vlDemand_ = 0.0;
  ipSegment_ = false;
  limited_ = false;
}

void Drive402::enter(PowerState state) {
  // Without the motor supply the power stage cannot be switched on.
  if (!supply_ && (state == P::SwitchedOn || state == P::OperationEnabled)) return;
  const bool wasEnabled = state_ == P::OperationEnabled || state_ == P::QuickStopActive;
  if (state == P::OperationEnabled && !wasEnabled) hold();  // holds where it stands until it gets a set-point
  if (state != P::OperationEnabled) {
    // Whatever ran is over; back in operation the drive holds where it stopped.
    targetActive_ = pending_ = ipSegment_ = false;
    if (homing_ == HomingPhase::Search || homing_ == HomingPhase::BackOff) homing_ = HomingPhase::Idle;
    if (setup_ == SetupPhase::Running) setup_ = SetupPhase::Idle;
    torque_ = 0.0;
  }
  if (state != P::OperationEnabled && state != P::QuickStopActive && state != P::FaultReactionActive) {
    // Without the power stage the brake holds the motor, and the demand is where the motor is.
    vel_ = vlDemand_ = 0.0;
    pos_ = actual_;
    lagging_ = false;
  }
  state_ = state;
}

void Drive402::fault(SimNode& node, std::uint16_t emcyCode, std::uint64_t nowUs) {
  nowUs_ = nowUs;
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
    inWindow_ = false;
  } else {
    pendingTarget_ = next;  // taken when the current target is reached
    pending_ = true;
  }
}

void Drive402::startHoming(SimNode& node) {
  if (homing_ == HomingPhase::Search || homing_ == HomingPhase::BackOff) return;
  const Method* m = methodOf(number(node, cia402::kHomingMethod, 0));
  if (!m) {
    homing_ = HomingPhase::Error;
    return;
  }
  homed_ = false;
  homingDir_ = m->direction;
  searchStart_ = pos_;
  homing_ = HomingPhase::Search;
  if (m->signal == Signal::Here) homeHere(node);
}

void Drive402::homeHere(SimNode& node) {
  // The found position becomes the home offset: the application's zero lies
  // that far from the reference point.
  vel_ = 0.0;
  pos_ = actual_ = double(number(node, kHomeOffset, 0));
  target_ = pos_;
  homed_ = true;
  homing_ = HomingPhase::Done;
}

void Drive402::startSetup(std::uint64_t nowUs) {
  if (setup_ == SetupPhase::Running) return;
  setup_ = SetupPhase::Running;
  setupStartUs_ = nowUs;
  setupOrigin_ = pos_;
}

double Drive402::loadRevs(const SimNode& node) const {
  const double polarity = (number(node, kPolarity, 0) & 0x80) ? -1.0 : 1.0;
  const double motorRevs = polarity * actual_ / ratio(node, kEncoderResolution);
  return motorRevs / ratio(node, kGearRatio) * ratio(node, kFeedConstant);
}

bool Drive402::homingSwitch(const SimNode& node) const {
  const Method* m = methodOf(number(node, cia402::kHomingMethod, 0));
  if (!m) return false;
  const std::int64_t inputs = number(node, kDigitalInputs, 0);
  bool level = false;
  switch (m->signal) {
    case Signal::ReferenceInput: level = inputs & kReferenceInput; break;
    case Signal::ExternalSwitch: level = number(node, kExternalReferenceSwitch, 0) != 0; break;
    case Signal::NegativeLimit: level = inputs & 0x1; break;
    case Signal::PositiveLimit: level = inputs & 0x2; break;
    default: return false;
  }
  return level != m->opener;
}

bool Drive402::closedLoopEnabled(const SimNode& node) const {
  if (!node.dictionary().hasObject(kClosedLoopStatus)) return false;
  switch (number(node, kClosedLoopEnable, 0)) {
    case 1: return longSetupDone_;
    case 2: return homed_;
    case 3: return shortSetupDone_;
    default: return false;
  }
}

bool Drive402::moving(const SimNode& node) const {
  if (!standstill()) return true;
  if (state_ != P::OperationEnabled || (controlword_ & cw::kHalt)) return false;
  const std::uint16_t vlRun = cw::kRampEnable | cw::kRampUnlock | cw::kReferenceRamp;
  switch (mode_) {
    case mode::kProfilePosition: return targetActive_ && (pos_ != target_ || pending_ || (inWindow_ && !ppReached_));
    case mode::kProfileVelocity: return number(node, cia402::kTargetVelocity, 0) != 0;
    case mode::kVelocity: return (controlword_ & vlRun) == vlRun && number(node, kVlTarget, 0) != 0;
    case mode::kHoming: return homing_ == HomingPhase::Search || homing_ == HomingPhase::BackOff;
    case mode::kInterpolatedPosition: return ipSegment_;
    case mode::kProfileTorque: return torque_ != 0.0 || number(node, cia402::kTargetTorque, 0) != 0;
    case kSetupRun:
    case kShortSetupRun: return setup_ == SetupPhase::Running;
    default: return false;
  }
}

std::uint64_t Drive402::tick(SimNode& node, std::uint64_t nowUs) {
  const double dt = ticking_ && nowUs > lastUs_ ? double(nowUs - lastUs_) / 1e6 : 0.0;
  if (!ticking_) gridUs_ = nowUs;
  lastUs_ = nowUs_ = nowUs;
  double quickStopDecel = rate(node, kQuickStopDeceleration, 10000);
  if (mode_ == mode::kVelocity) quickStopDecel = vlRate(node, kVlQuickStop) * vlFactor(node);
  switch (state_) {
    case P::OperationEnabled:
      move(node, dt, nowUs);
      break;
    case P::QuickStopActive: {
      const std::int64_t option = number(node, cia402::kQuickStopOption, 2);
      if (option == 0) vel_ = 0.0;  // the power stage goes off at once
      const bool profileRamp = option == 1 || option == 5;
      rampTo(0.0, 1.0, profileRamp ? rate(node, kProfileDeceleration, 10000) : quickStopDecel, dt);
      pos_ += vel_ * dt;
      if (standstill()) vlDemand_ = 0.0;
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
  follow(node, nowUs);
  // A new mode of operation takes effect only at standstill.
  const std::int8_t requested = std::int8_t(number(node, cia402::kModesOfOperation, mode_));
  if (requested != mode_ && standstill()) {
    mode_ = requested;
    hold();
  }
  publish(node);
  const bool stopping = (state_ == P::QuickStopActive || state_ == P::FaultReactionActive) && !standstill();
  ticking_ = moving(node) || stopping || state_ == P::FaultReactionActive;
  // The ticks keep a fixed 1 ms grid from the start of the motion, so a late
  // wake-up does not stretch the period of the PDOs that follow the motion.
  return ticking_ ? nowUs - (nowUs - gridUs_) % kTickUs + kTickUs : kNever;
}

void Drive402::sync(SimNode& node, std::uint64_t nowUs) {
  // Interpolated position: each SYNC starts a linear segment from where the
  // drive is to the latest interpolation data, over one SYNC period.
  const std::uint64_t since = lastSyncUs_ ? nowUs - lastSyncUs_ : 0;
  lastSyncUs_ = nowUs;
  if (state_ != P::OperationEnabled || mode_ != mode::kInterpolatedPosition) return;
  if (!(controlword_ & cw::kEnableInterpolation) || (controlword_ & cw::kHalt)) return;
  std::uint64_t period = since;
  if (period == 0) {
    const double units = double(number(node, kIpTimePeriod, 1, 1));
    const double exponent = double(number(node, kIpTimePeriod, -3, 2));
    period = std::uint64_t(units * std::pow(10.0, exponent) * 1e6);
  }
  ipPeriodUs_ = std::clamp<std::uint64_t>(period, kTickUs, 10000000);
  ipFrom_ = pos_;
  ipTo_ = double(number(node, kIpDataRecord, std::int64_t(pos_), 1));
  ipStartUs_ = nowUs;
  ipSegment_ = ipTo_ != ipFrom_;
  publish(node);
  node.wake(*this, nowUs);
}

void Drive402::rampTo(double target, double accel, double decel, double dt) {
  vel_ = ramp(vel_, target, accel, decel, dt);
}

void Drive402::move(SimNode& node, double dt, std::uint64_t nowUs) {
  switch (mode_) {
    case mode::kProfilePosition: moveProfilePosition(node, dt); break;
    case mode::kProfileVelocity: moveProfileVelocity(node, dt); break;
    case mode::kVelocity: moveVelocityMode(node, dt); break;
    case mode::kHoming: moveHoming(node, dt); break;
    case mode::kInterpolatedPosition: moveInterpolated(nowUs); break;
    case mode::kProfileTorque: moveTorque(node, dt); break;
    case kSetupRun:
    case kShortSetupRun: moveSetup(node, nowUs); break;
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
    inWindow_ = false;
  }
  const double dist = target_ - pos_;
  if (dist == 0.0 && standstill()) return;
  // The fastest speed from which the deceleration still stops at the target:
  // a trapezoid, or a triangle on short moves. The profile velocity is
  // limited by the maximum profile velocity.
  const double wantedVmax = double(std::max<std::int64_t>(0, number(node, kProfileVelocity, 1000)));
  const double vmax = std::min(wantedVmax, double(number(node, kMaxProfileVelocity, kWindowOff)));
  limited_ = vmax < wantedVmax;
  // Braking is done in steps of dt: the speed must leave room for the step
  // taken before the next look at the distance.
  const double half = decel * dt / 2.0;
  const double brake = std::sqrt(half * half + 2.0 * decel * std::fabs(dist)) - half;
  const double wanted = sign(dist) * std::min(vmax, brake);
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
  double target = (controlword_ & cw::kHalt) ? 0.0 : double(number(node, cia402::kTargetVelocity, 0));
  const double limit = double(number(node, kMaxProfileVelocity, kWindowOff));
  limited_ = std::fabs(target) > limit;
  if (limited_) target = sign(target) * limit;
  rampTo(target, accel, decel, dt);
  // Velocity polarity turns the motor the other way; position polarity shows it.
  const std::int64_t polarity = number(node, kPolarity, 0);
  const double direction = ((polarity & 0x40) != 0) != ((polarity & 0x80) != 0) ? -1.0 : 1.0;
  pos_ += direction * vel_ * dt;
}

void Drive402::moveVelocityMode(SimNode& node, double dt) {
  // Ramp function generator: bit 4 off forces its output to zero, bit 5 off
  // holds it, bit 6 off sets its input to zero; halt brings it to zero. It
  // works in the mode's units (the dimension factor's), limited in amount by
  // 0x6046: a non-zero target below the minimum runs at the minimum.
  const bool halt = controlword_ & cw::kHalt;
  double input = (controlword_ & cw::kReferenceRamp) && !halt ? double(number(node, kVlTarget, 0)) : 0.0;
  const double minimum = double(number(node, kVlMinMax, 0, 1));
  const double maximum = double(number(node, kVlMinMax, kWindowOff, 2));
  limited_ = input != 0.0 && (std::fabs(input) > maximum || std::fabs(input) < minimum);
  if (input != 0.0) input = sign(input) * std::clamp(std::fabs(input), minimum, std::max(minimum, maximum));
  if (!(controlword_ & cw::kRampEnable)) {
    vlDemand_ = 0.0;
  } else if ((controlword_ & cw::kRampUnlock) || halt) {
    vlDemand_ = ramp(vlDemand_, input, vlRate(node, kVlAcceleration), vlRate(node, kVlDeceleration), dt);
  }
  vel_ = vlDemand_ * vlFactor(node);
  const std::int64_t polarity = number(node, kPolarity, 0);
  const double direction = ((polarity & 0x40) != 0) != ((polarity & 0x80) != 0) ? -1.0 : 1.0;
  pos_ += direction * vel_ * dt;
}

void Drive402::moveHoming(SimNode& node, double dt) {
  const double accel = rate(node, kHomingAcceleration, 10000);
  const double searchSpeed = rate(node, kHomingSpeeds, 10000, 1);
  const double zeroSpeed = rate(node, kHomingSpeeds, 2500, 2);
  const bool running = homing_ == HomingPhase::Search || homing_ == HomingPhase::BackOff;
  if (!running || (controlword_ & cw::kHalt)) {
    if (running) homing_ = HomingPhase::Idle;  // halt interrupts the run
    rampTo(0.0, accel, accel, dt);
    pos_ += vel_ * dt;
    return;
  }
  const Method* m = methodOf(number(node, cia402::kHomingMethod, 0));
  if (!m) {
    homing_ = HomingPhase::Error;
    return;
  }
  const double revolution = ratio(node, kEncoderResolution);
  if (std::fabs(pos_ - searchStart_) > kHomingSearchRevs * revolution) {
    homing_ = HomingPhase::Error;  // ran the whole way without finding it
    return;
  }
  switch (m->signal) {
    case Signal::Block:
      if (blocked_ && std::fabs(pos_ - actual_) >= kBlockLag) {
        pos_ = actual_;
        homeHere(node);
        return;
      }
      rampTo(homingDir_ * searchSpeed, accel, accel, dt);
      break;
    case Signal::Index: {
      // The encoder's index pulse comes once per motor revolution.
      const double at = homingDir_ > 0 ? (std::floor(searchStart_ / revolution) + 1) * revolution
                                       : (std::ceil(searchStart_ / revolution) - 1) * revolution;
      if ((at - pos_) * homingDir_ <= 0) {
        homeHere(node);
        return;
      }
      rampTo(homingDir_ * zeroSpeed, accel, accel, dt);
      break;
    }
    default:
      // Search the switch fast, then leave it slowly the other way: its edge is home.
      // The search overshoots while it brakes, so the edge counts only once
      // the way back has passed through the switch again.
      if (homing_ == HomingPhase::Search && homingSwitch(node)) {
        homing_ = HomingPhase::BackOff;
        switchSeen_ = false;
      }
      if (homing_ == HomingPhase::BackOff && vel_ * homingDir_ < 0) {
        if (homingSwitch(node)) {
          switchSeen_ = true;
        } else if (switchSeen_) {
          homeHere(node);
          return;
        }
      }
      rampTo(homing_ == HomingPhase::Search ? homingDir_ * searchSpeed : -homingDir_ * zeroSpeed, accel, accel, dt);
      break;
  }
  pos_ += vel_ * dt;
}

void Drive402::moveInterpolated(std::uint64_t nowUs) {
  if (!ipSegment_ || (controlword_ & cw::kHalt)) {
    ipSegment_ = false;
    vel_ = 0.0;
    return;
  }
  const double f = std::min(1.0, double(nowUs - ipStartUs_) / double(ipPeriodUs_));
  vel_ = f < 1.0 ? (ipTo_ - ipFrom_) * 1e6 / double(ipPeriodUs_) : 0.0;
  pos_ = ipFrom_ + (ipTo_ - ipFrom_) * f;
  if (f >= 1.0) ipSegment_ = false;
}

void Drive402::moveTorque(SimNode& node, double dt) {
  const bool halt = controlword_ & cw::kHalt;
  const double limit = std::min(1000.0, double(number(node, kMaxTorque, 1000)));
  const double target = halt ? 0.0 : std::clamp(double(number(node, cia402::kTargetTorque, 0)), -limit, limit);
  const double slope = double(number(node, kTorqueSlope, 0));
  torque_ = slope > 0 ? ramp(torque_, target, slope, slope, dt) : target;
  if (halt) {
    rampTo(0.0, 1.0, rate(node, kProfileDeceleration, 10000), dt);
  } else if (torque_ == 0.0) {
    rampTo(0.0, 1.0, kFrictionDeceleration, dt);
  } else {
    vel_ += torque_ / 1000.0 * kRatedTorqueAcceleration * dt;
  }
  // The speed limit of torque mode holds both directions.
  const double vmax = double(number(node, kMaxProfileVelocity, kWindowOff));
  limited_ = std::fabs(vel_) > vmax;
  if (limited_) vel_ = sign(vel_) * vmax;
  if (std::fabs(vel_) < 1e-9) vel_ = 0.0;
  pos_ += vel_ * dt;
}

void Drive402::moveSetup(SimNode& node, std::uint64_t nowUs) {
  if (setup_ != SetupPhase::Running) {
    vel_ = 0.0;
    return;
  }
  const std::uint64_t duration = mode_ == kSetupRun ? kSetupUs : kShortSetupUs;
  const double t = double(nowUs - setupStartUs_) / double(duration);
  if (failSetup_ && t >= 0.5) {
    failSetup_ = false;
    setup_ = SetupPhase::Failed;
    fault(node, kEmcyEncoder, nowUs);
    return;
  }
  if (t >= 1.0) {
    finishSetup(node, nowUs);
    return;
  }
  // The long run turns back and forth ever faster to measure the load angle
  // at several speeds; the short one swings once to find the encoder offset.
  const double amplitude = 2.0 * ratio(node, kEncoderResolution);
  const double cycles = mode_ == kSetupRun ? 3.0 : 1.0;
  const double phase = 2.0 * kPi * cycles * (mode_ == kSetupRun ? t * t : t);
  const double next = setupOrigin_ + amplitude * std::sin(phase);
  const double dphase = 2.0 * kPi * cycles * (mode_ == kSetupRun ? 2.0 * t : 1.0) * 1e6 / double(duration);
  vel_ = amplitude * std::cos(phase) * dphase;
  pos_ = next;
}

void Drive402::finishSetup(SimNode& node, std::uint64_t /*nowUs*/) {
  pos_ = setupOrigin_;
  vel_ = 0.0;
  setup_ = SetupPhase::Done;
  // Plausible measurements that differ between nodes but not between runs.
  const int id = node.busNodeId();
  node.writeObject(kEncoderIndexOffset, 0, encodeNumber(kTypeS32, 120 + 7 * id));
  if (mode_ == kSetupRun) {
    longSetupDone_ = true;
    for (int k = 1; k <= 7; ++k)
      node.writeObject(kLoadAngle, std::uint8_t(k), encodeNumber(kTypeS16, (k == 1 ? 4 : 6 * k) + id % 5));
  } else {
    shortSetupDone_ = true;
  }
  node.touched();
}

void Drive402::follow(SimNode& node, std::uint64_t nowUs) {
  if (!blocked_) {
    actual_ = pos_;
    lagging_ = false;
    return;
  }
  // Blocked: the motor stays where it is while the demand runs on.
  const double window = double(number(node, kFollowingErrorWindow, kWindowOff));
  const bool off = window == 0.0 || window == double(kWindowOff);
  if (off || state_ != P::OperationEnabled || std::fabs(pos_ - actual_) <= window) {
    lagging_ = false;
    return;
  }
  if (!lagging_) {
    lagging_ = true;
    lagSinceUs_ = nowUs;
  }
  const auto timeoutUs = std::uint64_t(std::max<std::int64_t>(0, number(node, kFollowingErrorTimeout, 0))) * 1000;
  if (nowUs - lagSinceUs_ >= timeoutUs) {
    followingError_ = true;
    fault(node, kEmcyFollowingError, nowUs);
  }
}

void Drive402::publish(SimNode& node) {
  std::uint16_t status = cia402::statusBitsOf(state_) | sw::kRemote;
  if (!supply_) status &= std::uint16_t(~sw::kVoltageEnabled);
  const bool halt = controlword_ & cw::kHalt;
  if (lagging_) status |= sw::kWarning;
  if (limited_ && state_ == P::OperationEnabled) status |= sw::kInternalLimit;
  if (followingError_ && (mode_ == mode::kProfilePosition || mode_ == mode::kInterpolatedPosition))
    status |= sw::kFollowingError;
  if (state_ == P::OperationEnabled) {
    switch (mode_) {
      case mode::kProfilePosition: {
        bool reached = standstill();
        if (!halt && targetActive_) {
          // Reached once the motor stayed inside the position window for the window time.
          const double window = double(number(node, kPositionWindow, 0));
          const bool inside = std::fabs(target_ - actual_) <= window && standstill() && !pending_;
          if (!inside) {
            inWindow_ = false;
          } else if (!inWindow_) {
            inWindow_ = true;
            inWindowSinceUs_ = nowUs_;
          }
          const auto timeUs = std::uint64_t(std::max<std::int64_t>(0, number(node, kPositionWindowTime, 0))) * 1000;
          reached = inside && nowUs_ - inWindowSinceUs_ >= timeUs;
        }
        ppReached_ = reached;
        if (reached) status |= sw::kTargetReached;
        if (setPointAck_) status |= sw::kSetPointAcknowledge;
        break;
      }
      case mode::kProfileVelocity: {
        const double target = halt ? 0.0 : double(number(node, cia402::kTargetVelocity, 0));
        if (vel_ == target || (limited_ && std::fabs(vel_) == double(number(node, kMaxProfileVelocity, 0))))
          status |= sw::kTargetReached;
        if (standstill()) status |= sw::kSpeedZero;
        break;
      }
      case mode::kHoming:
        switch (homing_) {
          case HomingPhase::Done: status |= sw::kHomingAttained | sw::kTargetReached; break;
          case HomingPhase::Error: status |= sw::kHomingError | (standstill() ? sw::kTargetReached : 0); break;
          case HomingPhase::Idle: status |= standstill() ? sw::kTargetReached : 0; break;
          default: break;
        }
        break;
      case mode::kInterpolatedPosition:
        if (controlword_ & cw::kEnableInterpolation) status |= sw::kInterpolationActive;
        if (!ipSegment_ && standstill()) status |= sw::kTargetReached;
        break;
      case mode::kProfileTorque: {
        const double target = halt ? 0.0 : double(number(node, cia402::kTargetTorque, 0));
        if (torque_ == target) status |= sw::kTargetReached;
        break;
      }
      case kSetupRun:
      case kShortSetupRun:
        if (setup_ == SetupPhase::Done) status |= sw::kTargetReached | sw::kHomingAttained;
        else if (setup_ != SetupPhase::Running && standstill()) status |= sw::kTargetReached;
        break;
      default:
        break;
    }
  } else if (state_ == P::QuickStopActive && standstill()) {
    status |= sw::kTargetReached;
  }
  ObjectDictionary& od = node.dictionary();
  bool changed = false;
  auto set = [&](std::uint16_t index, std::int64_t value, std::uint8_t sub = 0) {
    if (!od.find(index, sub) || od.number(index, sub) == value) return;
    od.setNumber(index, sub, value);
    changed = true;
  };
  const double actualVelocity = blocked_ ? 0.0 : vel_;
  const double polarity = (number(node, kPolarity, 0) & 0x80) ? -1.0 : 1.0;
  set(cia402::kStatusword, status);
  set(cia402::kModesDisplay, mode_);
  set(cia402::kPositionActual, std::llround(actual_));
  set(kPositionDemand, std::llround(pos_));
  // Positions count encoder increments; the encoder's own count has the motor's direction.
  set(kPositionActualInternal, std::llround(polarity * actual_));
  set(cia402::kVelocityActual, std::llround(actualVelocity));
  set(kVlDemand, std::llround(vlDemand_));
  set(kVlActual, std::llround(mode_ == mode::kVelocity ? actualVelocity / vlFactor(node) : 0.0));
  set(kTorqueActual, std::llround(mode_ == mode::kProfileTorque ? torque_ : 0.0));
  if (od.hasObject(kClosedLoopStatus)) set(kClosedLoopStatus, closedLoopEnabled(node) ? 1 : 0);
  // The reference switch reaches the inputs as the axis passes it.
  const bool present = switchHalfWidth_ >= 0.0;
  const bool actuated = present && std::fabs(loadRevs(node) - switchAt_) <= switchHalfWidth_;
  const std::uint32_t switchBits = present && actuated != switchOpener_ ? kReferenceInput : 0;
  if (switchBits != switchBits_) {
    switchBits_ = switchBits;
    node.setSwitchInputs(switchBits, nowUs_);
  }
  if (changed) node.touched();
}

}  // namespace kestrum::sim
