#include "ClosedLoopSetup.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <vector>

#include "DLLConnector.h"
#include "DriveControl.h"

namespace cia402 = kestrum::canopen::cia402;
using P = cia402::PowerState;

namespace {

constexpr std::int8_t kSetupMode = -1;
constexpr std::int8_t kShortSetupMode = -2;
/// The controller needs this spacing between the set-up commands.
constexpr int kStepPauseMs = 250;
constexpr int kPollMs = 50;
constexpr int kFaultReactionPolls = 60;
constexpr int kFullLimitMs = 120000;
constexpr int kShortLimitMs = 60000;
/// Enable operation with halt set: powered, but nothing moves in whatever
/// mode the drive still holds.
constexpr std::uint16_t kEnableHalted = cia402::cw::kEnableOperationCommand | cia402::cw::kHalt;
/// Enable operation, halt clear, bit 4 rising: the set-up run starts.
constexpr std::uint16_t kStartRun = cia402::cw::kEnableOperationCommand | cia402::cw::kNewSetPoint;
constexpr std::uint16_t kRunEnded = cia402::sw::kTargetReached | cia402::sw::kHomingAttained;

const QString kName = QStringLiteral("Closed Loop Motor Setup");

}  // namespace

int ClosedLoopSetup::timeLimitOverrideMs_ = 0;

int ClosedLoopSetup::timeLimitMs(Kind kind) {
  if (timeLimitOverrideMs_ > 0) return timeLimitOverrideMs_;
  return kind == Kind::Full ? kFullLimitMs : kShortLimitMs;
}

void ClosedLoopSetup::pause(int ms) const {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

ClosedLoopSetup::Result ClosedLoopSetup::run(Kind kind, int enableMode) {
  if (control_.closing()) return Result::Closing;
  DLLConnector* connector = control_.host().connector();
  // The offline connector always reports a pending query: there is no drive to set up.
  if (!connector || connector->isQueryPending()) {
    control_.log(kName + QStringLiteral(": no controller to talk to or the bus is busy; nothing was sent"));
    return Result::Refused;
  }
  control_.beginRun();

  const std::int8_t mode = kind == Kind::Full ? kSetupMode : kShortSetupMode;
  const Step off{0x6040, TYPE_U16, 0x00, QStringLiteral("connector->send_sdoW(0x6040, 0, TYPE_U16, 0x0) failed"), true};
  const Step enable{0x2001, TYPE_U8, enableMode,
                    QStringLiteral("connector->send_sdoW(0x2001, 0, TYPE_U8, 1) [CL enable] failed"), false};
  const Step shutdown{0x6040, TYPE_U16, 0x06, QStringLiteral("connector->send_sdoW(0x6040, 0x0, TYPE_U16, 0x06) failed"),
                      true};
  const Step switchOn{0x6040, TYPE_U16, 0x07, QStringLiteral("connector->send_sdoW(0x6040, 0x0, TYPE_U16, 0x07) failed"),
                      true};
  const Step enableHalted{0x6040, TYPE_U16, kEnableHalted,
                          QStringLiteral("connector->send_sdoW(0x6040, 0, TYPE_U16, 0x10f) failed"), true};
  const Step setMode{0x6060, TYPE_U8, std::uint8_t(mode),
                     QStringLiteral("connector->send_sdoW(0x6060, 0x0, TYPE_U8, %1) failed").arg(int(mode)), true};
  std::vector<Step> steps;
  if (kind == Kind::Full)
    steps = {off, enable, shutdown, switchOn, enableHalted, setMode};
  else
    steps = {off, enable, setMode, shutdown, switchOn, enableHalted};
  if (enableMode < 0) steps.erase(steps.begin() + 1);  // the list shows no mode: the drive keeps its own

  for (const Step& step : steps) {
    if (control_.closing()) return Result::Closing;
    if (!connector->send_sdoW(step.index, 0, step.type, step.value)) {
      control_.log(step.failure);
      if (step.essential) {
        control_.log(kName + QStringLiteral(" abandoned: the run was not started"));
        leaveSwitchedOff();
        return Result::Failed;
      }
    }
    pause(kStepPauseMs);
    if (control_.closing()) return Result::Closing;
    if (control_.runEnded()) {
      control_.log(kName + QStringLiteral(" stopped before the run started"));
      leaveSwitchedOff();
      return Result::Stopped;
    }
  }

  // Halt is released only for the set-up mode: a drive still in another mode
  // would start that mode's motion instead.
  const auto shown = control_.readModeDisplay();
  if (shown != int(mode)) {
    if (control_.closing()) return Result::Closing;
    control_.log(kName + QStringLiteral(" abandoned: the drive shows %1 instead of the set-up mode")
                             .arg(shown ? DriveControl::ModeName(*shown) : QStringLiteral("no mode")));
    leaveSwitchedOff();
    return Result::Failed;
  }
  if (control_.closing()) return Result::Closing;
  if (!connector->send_sdoW(0x6040, 0, TYPE_U16, kStartRun)) {
    control_.log(QStringLiteral("connector->send_sdoW(0x6040, 0, TYPE_U16, 0x1f) failed"));
    leaveSwitchedOff();
    return Result::Failed;
  }
  control_.log(kName + QStringLiteral(" running"));
  // The direct path's answers also reach the window's own SDO client; the
  // pause lets it pass the last one by before the first status read.
  pause(kPollMs);

  switch (waitForEnd(kind)) {
    case WaitEnd::Closing:
      return Result::Closing;
    case WaitEnd::Done:
      leaveSwitchedOff();
      showResults(kind);
      return Result::Done;
    case WaitEnd::Fault:
      leaveSwitchedOff();
      return Result::Failed;
    case WaitEnd::LeftEnabled:
      control_.log(kName + QStringLiteral(" ended: the drive left the state Operation Enabled"));
      leaveSwitchedOff();
      return Result::Failed;
    case WaitEnd::Stopped:
      control_.log(kName + QStringLiteral(" stopped"));
      leaveSwitchedOff();
      return Result::Stopped;
    case WaitEnd::TimedOut:
      control_.log(kName + QStringLiteral(": the drive did not report the end of the run within %1 s")
                               .arg(timeLimitMs(kind) / 1000.0));
      leaveSwitchedOff();
      return Result::TimedOut;
  }
  return Result::Failed;
}

ClosedLoopSetup::WaitEnd ClosedLoopSetup::waitForEnd(Kind kind) {
  QElapsedTimer since;
  since.start();
  for (;;) {
    if (control_.closing()) return WaitEnd::Closing;
    if (control_.runEnded()) return WaitEnd::Stopped;
    // A controller busy with the run may not answer; only the time limit ends
    // the wait then, so an unanswered read is not an error here.
    const auto value = control_.readValue(QStringLiteral("6041"), 0);
    if (control_.closing()) return WaitEnd::Closing;
    if (control_.runEnded()) return WaitEnd::Stopped;
    if (value) {
      const auto s = std::uint16_t(*value);
      if (s & cia402::sw::kFault) {
        const auto code = control_.readValue(QStringLiteral("603F"), 0);
        control_.log(kName + QStringLiteral(" failed: the drive reports a fault") +
                     (code ? QStringLiteral(" (error code 0x%1)").arg(quint16(*code), 4, 16, QLatin1Char('0'))
                           : QString()));
        return WaitEnd::Fault;
      }
      if ((s & kRunEnded) == kRunEnded) return WaitEnd::Done;
      if (cia402::stateOf(s) != P::OperationEnabled) return WaitEnd::LeftEnabled;
    }
    if (since.elapsed() >= timeLimitMs(kind)) return WaitEnd::TimedOut;
    pause(kPollMs);
  }
}

void ClosedLoopSetup::leaveSwitchedOff() {
  if (control_.closing()) return;
  control_.pwrOffBtnClick();
  auto state = control_.readState();
  // A fault stops the motor first; the drive reports Fault once it stands.
  for (int n = 0; n < kFaultReactionPolls && state == P::FaultReactionActive && !control_.closing(); ++n) {
    pause(kPollMs);
    state = control_.readState();
  }
  if (control_.closing()) return;
  if (!state) {
    control_.log(kName + QStringLiteral(": the drive's state is unknown, check that it is switched off"));
    return;
  }
  switch (*state) {
    case P::SwitchOnDisabled:
    case P::ReadyToSwitchOn:
    case P::NotReadyToSwitchOn:
    case P::Fault:
      control_.log(kName + QStringLiteral(": the drive is switched off (%1)")
                               .arg(QLatin1String(cia402::stateName(*state))));
      break;
    default:
      control_.log(kName + QStringLiteral(": the drive could not be switched off (%1)")
                               .arg(QLatin1String(cia402::stateName(*state))));
      break;
  }
}

void ClosedLoopSetup::showResults(Kind kind) {
  const auto offset = control_.readValue(QStringLiteral("200B"), 0);
  QString text = kName + QStringLiteral(" finished: encoder offset ") +
                 (offset ? QString::number(std::int32_t(*offset)) : QStringLiteral("not readable"));
  if (kind == Kind::Full) {
    QStringList angles;
    for (int k = 1; k <= 7; ++k) {
      const auto angle = control_.readValue(QStringLiteral("200C"), k);
      angles << (angle ? QString::number(std::int16_t(*angle)) : QStringLiteral("?"));
    }
    text += QStringLiteral(", load angles ") + angles.join(QStringLiteral(", "));
  }
  control_.log(text);
}
