#include "DriveControl.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include "DLLConnector.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "StringGridSDODataSource.h"
#include "Util.h"

namespace cia402 = kestrum::canopen::cia402;
using P = cia402::PowerState;

namespace {

constexpr std::uint16_t kHalt = cia402::cw::kHalt;
constexpr std::uint16_t kNewSetPoint = cia402::cw::kNewSetPoint;
constexpr std::uint16_t kQuickStopBit = cia402::cw::kQuickStop;
/// Enable operation with halt set: powered, and nothing moves until a Start.
constexpr std::uint16_t kEnableHalted = cia402::cw::kEnableOperationCommand | kHalt;
/// A stop that must go out even when the controlword could not be read: the
/// quick stop command stops an enabled drive and switches nothing on.
constexpr std::uint16_t kQuickStopCommand = cia402::cw::kQuickStopCommand;
/// How long a Stop or Power Off waits for the transfer under way to end.
constexpr int kBusFreeLimitMs = 3000;

QString unsignedText(std::uint16_t value) { return QString::number(value); }

/// SetDriveButtonsEnabled(false) now and (true) on every way out.
class DriveButtonsOff {
 public:
  explicit DriveButtonsOff(DriveControl& control) : control_(control) { control_.SetDriveButtonsEnabled(false); }
  ~DriveButtonsOff() { control_.SetDriveButtonsEnabled(true); }
  DriveButtonsOff(const DriveButtonsOff&) = delete;
  DriveButtonsOff& operator=(const DriveButtonsOff&) = delete;

 private:
  DriveControl& control_;
};

}  // namespace

DriveControl::DriveControl(DriveHost& host, QWidget* window) : QObject(window), host_(host), window_(window) {}

QAbstractButton* DriveControl::button(const char* name) const {
  return window_->findChild<QAbstractButton*>(QLatin1String(name));
}

void DriveControl::log(const QString& text) const { Logging::instance().log(text); }

bool DriveControl::closing() const { return host_.isClosing() || StringGridSDODataSource::applicationClosing; }

void DriveControl::pause(int ms) const {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

std::optional<qint64> DriveControl::fieldNumber(const QString& text) {
  QString rest = text.trimmed();
  const bool negative = rest.startsWith(QLatin1Char('-'));
  if (negative) rest.remove(0, 1);
  const bool hex = rest.startsWith(QLatin1String("0x")) || rest.startsWith(QLatin1String("0X"));
  if (hex) rest.remove(0, 2);
  // Eleven digits reach beyond every 32-bit object, far from 64-bit overflow.
  if (rest.isEmpty() || rest.size() > 11 || (negative && hex)) return std::nullopt;
  bool ok = false;
  const qint64 value = rest.toLongLong(&ok, hex ? 16 : 10);
  if (!ok || rest.startsWith(QLatin1Char('+')) || rest.startsWith(QLatin1Char('-'))) return std::nullopt;
  return negative ? -value : value;
}

// ---- Objects ----------------------------------------------------------------

std::optional<qint64> DriveControl::readValue(const QString& id, int subIndex) {
  StringGridSDODataSource* list = host_.sdoList();
  if (!list || closing() || !list->findEntry(id, subIndex)) return std::nullopt;
  const QString text = list->getValue(id, subIndex, true);
  if (!list->lastReadOk()) return std::nullopt;
  return fieldNumber(text);
}

bool DriveControl::readWord(const char* id, const char* name, std::uint16_t& word) {
  const auto value = readValue(QLatin1String(id), 0);
  if (!value) {
    if (!closing()) log(QStringLiteral("reading %1 failed").arg(QLatin1String(name)));
    return false;
  }
  word = std::uint16_t(*value);
  return true;
}

bool DriveControl::readStatusword(std::uint16_t& statusword) { return readWord("6041", "STATUSWORD", statusword); }

std::optional<DriveControl::PowerState> DriveControl::readState() {
  std::uint16_t statusword = 0;
  if (!readStatusword(statusword)) return std::nullopt;
  return cia402::stateOf(statusword);
}

bool DriveControl::readControlword(std::uint16_t& controlword) { return readWord("6040", "CONTROLWORD", controlword); }

bool DriveControl::readyToStart() {
  const auto state = readState();
  if (!state) return false;  // the failed read is in the log; nothing was written
  if (*state != P::OperationEnabled) {
    log(QStringLiteral("You have to Power on the device before starting the profile"));
    return false;
  }
  return true;
}

std::optional<int> DriveControl::readModeDisplay() {
  const auto value = readValue(QStringLiteral("6061"), 0);
  if (!value) return std::nullopt;
  return int(std::int8_t(*value));
}

bool DriveControl::writeValue(const QString& id, int subIndex, qint64 value, const QString& failure) {
  StringGridSDODataSource* list = host_.sdoList();
  if (closing()) return false;
  // The list reports an object it does not know as written; for the drive
  // that would be a success that never reached it.
  bool ok = list && list->findEntry(id, subIndex);
  if (ok) {
    try {
      ok = list->setValue(id, subIndex, QString::number(value), true);
    } catch (const ConversionError&) {
      ok = false;
    }
  }
  if (!ok && !failure.isEmpty() && !closing()) log(failure);
  return ok;
}

bool DriveControl::writeControlword(std::uint16_t controlword, const QString& failure) {
  const bool ok = writeValue(QStringLiteral("6040"), 0, controlword, failure);
  if (ok) showControlword(controlword);
  return ok;
}

void DriveControl::showControlword(std::uint16_t controlword) {
  // The halt captions and the Quick Stop button show what the drive was last told.
  const QString halt = controlword & kHalt ? QStringLiteral("HALT set") : QStringLiteral("HALT clear");
  for (const char* name : {"btnVelocityHalt", "btnPPModeHalt"})
    if (QAbstractButton* b = button(name)) b->setText(halt);
  if (QAbstractButton* q = button("QStopBtn")) {
    // Down while the voltage is on and the quick stop bit says stop.
    const std::uint16_t voltage = cia402::cw::kEnableVoltage;
    q->setChecked((controlword & (voltage | kQuickStopBit)) == voltage);
  }
}

// ---- Waits ------------------------------------------------------------------

bool DriveControl::WaitStatus(int n, std::uint16_t bits, bool countDown) {
  bool& aborted = host_.waitAbortedFlag();
  bool& suspended = host_.pollingSuspendedFlag();
  if (!countDown && n == 0) n = 1;
  const int step = countDown ? -1 : 0;
  const bool pdo = host_.statuswordByPdo();
  if (!pdo) n *= 2;
  std::uint16_t s = 0;
  bool failed = false;
  for (;;) {
    if (closing()) return false;
    if (pdo) {
      // The PDO traffic keeps the list's value current.
      const auto value = host_.sdoList() ? fieldNumber(host_.sdoList()->getValue(QStringLiteral("6041"), 0, false))
                                         : std::nullopt;
      s = std::uint16_t(value.value_or(0));
    } else if (!readStatusword(s)) {
      failed = true;
      break;
    }
    QCoreApplication::processEvents();
    if ((s & bits) == bits || suspended || aborted || closing()) break;
    if (n != 0) {
      pause(10);
      n += step;
    }
    if (n == 0) break;
  }
  if (closing()) return false;
  const bool ok = !failed && !aborted && (s & bits) == bits;
  if (!ok) {
    if (!aborted && !failed) log(QStringLiteral("TIMEOUT while waiting for Status ") + unsignedText(s));
    if (failed) log(QStringLiteral("The drive stopped answering while waiting for its status"));
    host_.StopPolling();
    if (host_.connector()) host_.connector()->cancelQuery();
    // After a stop, polling stays suspended until the next run or NMT state frame.
    if (!aborted) suspended = false;
  }
  return ok;
}

bool DriveControl::WaitStatusMask(int n, std::uint16_t v, std::uint16_t m, std::uint16_t* out) {
  bool& aborted = host_.waitAbortedFlag();
  bool& suspended = host_.pollingSuspendedFlag();
  const bool pdo = host_.statuswordByPdo();
  std::uint16_t s = 0;
  for (;;) {
    if (closing()) return false;
    if (pdo) {
      const auto value = host_.sdoList() ? fieldNumber(host_.sdoList()->getValue(QStringLiteral("6041"), 0, false))
                                         : std::nullopt;
      s = std::uint16_t(value.value_or(0));
    } else if (!readStatusword(s)) {
      log(QStringLiteral("DLL Timeout: No SDO Response while waiting for Status ") + unsignedText(s) +
          QStringLiteral(" Mask ") + unsignedText(m));
      return false;
    }
    QCoreApplication::processEvents();
    if ((s & m) == (v & m) || suspended || aborted || closing()) break;
    if (n != 0) {
      pause(100);
      --n;
    }
    if (n == 0) break;
  }
  if (out) *out = s;
  if ((s & m) == (v & m) && !aborted) return true;
  if (!aborted && !closing())
    log(QStringLiteral("TIMEOUT while waiting for StatusMask ") + unsignedText(s) + QStringLiteral(" Mask ") +
        unsignedText(m));
  return false;
}

// ---- Runs -------------------------------------------------------------------

void DriveControl::beginRun() {
  host_.waitAbortedFlag() = false;
  host_.pollingSuspendedFlag() = false;
}

bool DriveControl::runEnded() const {
  return host_.waitAbortedFlag() || host_.pollingSuspendedFlag() || closing();
}

void DriveControl::whenBusFree(const QString& what, std::function<void()> write) {
  if (closing()) return;
  DLLConnector* connector = host_.connector();
  if (!connector || !connector->isQueryPending()) {
    write();
    return;
  }
  // The transfer under way belongs to a wait further down the stack; the
  // write goes out once it has ended. The timer goes with this object.
  auto* timer = new QTimer(this);
  timer->setInterval(2);
  QElapsedTimer since;
  since.start();
  connect(timer, &QTimer::timeout, this, [this, timer, what, write = std::move(write), since]() {
    if (!closing()) {
      DLLConnector* c = host_.connector();
      if (c && c->isQueryPending()) {
        if (since.elapsed() < kBusFreeLimitMs) return;
        // A transfer that never ends is cancelled rather than let it keep the stop back.
        c->cancelQuery();
        log(what + QStringLiteral(": the bus stayed busy, pending transfer cancelled"));
      }
    }
    timer->stop();
    timer->deleteLater();
    if (!closing()) write();
  });
  timer->start();
}

void DriveControl::stopMotion(const QString& failure, bool keepBit4) {
  host_.waitAbortedFlag() = true;
  whenBusFree(failure, [this, failure, keepBit4] {
    std::uint16_t c = 0;
    if (!readControlword(c)) {
      log(QStringLiteral("Stop: controlword unknown, quick stop sent instead"));
      writeControlword(kQuickStopCommand, failure);
      return;
    }
    writeControlword(std::uint16_t((c | kHalt) & (keepBit4 ? 0xFFFF : ~kNewSetPoint)), failure);
  });
}

void DriveControl::setModeCaptions(const QString& bit12, const QString& bit13) {
  if (auto* l = window_->findChild<QLabel*>(QStringLiteral("lblBit12"))) l->setText(bit12);
  if (auto* l = window_->findChild<QLabel*>(QStringLiteral("lblBit13"))) l->setText(bit13);
}

// ---- Power ------------------------------------------------------------------

void DriveControl::SetDriveButtonsEnabled(bool enabled) {
  if (enabled) QCoreApplication::processEvents();
  for (const char* name :
       {"Button1", "Button2", "pwrOnBtn", "pwrOffBtn", "QStopBtn", "StartBtnVel", "StopBtnVel", "btnVelocityHalt"})
    if (QAbstractButton* b = button(name)) b->setEnabled(enabled);
}

void DriveControl::pwrBtnClick() {
  DriveButtonsOff buttons(*this);
  // A press of Power On is a new request: an earlier stop no longer counts.
  beginRun();
  std::uint16_t s = 0;
  if (!readStatusword(s)) {
    log(QStringLiteral("Power On: the drive did not answer"));
    return;
  }
  switch (cia402::stateOf(s)) {
    case P::OperationEnabled:
      log(QStringLiteral("Already switched on"));
      return;
    case P::QuickStopActive:
      log(QStringLiteral("Quick Stop is active: release it with \"Quick Stop\" first"));
      return;
    case P::FaultReactionActive:
    case P::NotReadyToSwitchOn:
    case P::Unknown:
      log(QStringLiteral("The drive cannot be switched on now (statusword 0x%1)")
              .arg(s, 4, 16, QLatin1Char('0')));
      return;
    case P::Fault:
      // The fault reset acts on the rising edge of bit 7; the power stage stays off.
      log(QStringLiteral("Fault reset"));
      if (!writeControlword(0x0000, QStringLiteral("Sending of fault reset failed")) ||
          !writeControlword(cia402::cw::kFaultResetCommand, QStringLiteral("Sending of fault reset failed")))
        return;
      if (!WaitStatusMask(100, 0x0040, 0x004F, &s)) {
        if (!runEnded()) log(QStringLiteral("Fault reset failed: the drive stays in Fault"));
        return;
      }
      break;
    default:
      break;
  }
  if (!(s & cia402::sw::kReadyToSwitchOn) &&
      !writeControlword(cia402::cw::kShutdown, QStringLiteral("Sending of RTSO failed")))
    return;
  if (!(s & cia402::sw::kSwitchedOn)) {
    if (!writeControlword(cia402::cw::kSwitchOnCommand, QStringLiteral("Sending of SO failed"))) return;
    if (!WaitStatusMask(100, 2, 2, &s)) {
      if (runEnded()) return;  // Power Off or a stop came meanwhile
      log(QStringLiteral("Can't switch to SO"));
      // Nothing may switch on later by itself: back to ready to switch on.
      writeControlword(cia402::cw::kShutdown, QString());
      log(QStringLiteral("Drive state unknown: the power stage was told to stay off"));
      return;
    }
  }
  if (runEnded()) return;
  if (!(s & cia402::sw::kOperationEnabled)) {
    // Enabled with halt set: the motor stays still until a page's Start.
    if (!writeControlword(kEnableHalted, QStringLiteral("Sending of OE failed"))) return;
    if (!WaitStatusMask(100, 4, 4, &s) || cia402::stateOf(s) != P::OperationEnabled) {
      if (runEnded()) return;
      log(QStringLiteral("Can't switch to OE"));
      writeControlword(cia402::cw::kShutdown, QString());
      log(QStringLiteral("Drive state unknown: the power stage was told to stay off"));
      return;
    }
  }
  log(QStringLiteral("Switched On"));
}

bool DriveControl::switchOff(std::uint16_t controlword) {
  if (!writeControlword(std::uint16_t(controlword & 0xFFF6), QStringLiteral("setValue 6040, 0x0, 0x06, true failed")))
    return false;
  if (!writeControlword(std::uint16_t(controlword & 0xFFF0), QStringLiteral("setValue 6040, 0x0, 0x00, true failed")))
    return false;
  log(QStringLiteral("Switched Off"));
  return true;
}

void DriveControl::pwrOffBtnClick() {
  host_.waitAbortedFlag() = true;
  whenBusFree(QStringLiteral("Power Off"), [this] {
    for (const char* name : {"Button1", "Button2", "pwrOnBtn", "pwrOffBtn"})
      if (QAbstractButton* b = button(name)) b->setEnabled(false);
    std::uint16_t c = 0;
    if (!readControlword(c)) {
      // Switching off never needs the old word: halt with the stage off.
      log(QStringLiteral("Power Off: controlword unknown, switching off anyway"));
      c = 0;
    } else if (!writeControlword(std::uint16_t(c | kHalt), QStringLiteral("[stop] failed"))) {
      c |= kHalt;  // the switch-off below is still worth trying
    }
    switchOff(std::uint16_t(c | kHalt));
    SetDriveButtonsEnabled(true);
  });
}

void DriveControl::QStopBtnClick() {
  QAbstractButton* q = button("QStopBtn");
  whenBusFree(QStringLiteral("Quick Stop"), [this, q] {
    std::uint16_t c = 0;
    if (!readControlword(c)) {
      // Unknown word: stopping is the safe reading of the press.
      if (!writeControlword(kQuickStopCommand, QStringLiteral("set CONTROLWORD(QuickStop) failed")) && q)
        q->setChecked(false);
      return;
    }
    // The press acts on what the drive was told, not on the button's look.
    const bool engage = c & kQuickStopBit;
    const std::uint16_t next = engage ? std::uint16_t(c & ~kQuickStopBit) : std::uint16_t(c | kQuickStopBit);
    if (!writeControlword(next, QStringLiteral("set CONTROLWORD(QuickStop) failed"))) showControlword(c);
  });
}

void DriveControl::HaltButtonClick() {
  whenBusFree(QStringLiteral("Halt"), [this] {
    std::uint16_t c = 0;
    if (!readControlword(c)) return;
    writeControlword(std::uint16_t(c ^ kHalt), QString());
  });
}

bool DriveControl::AskPowerOffForSave() {
  std::uint16_t s = 0;
  if (!readStatusword(s)) return false;  // unknown state: do not save over a powered drive
  if ((s & 7) == 0) return true;
  const auto answer = showMessageBox(
      QStringLiteral("Warning"),
      QStringLiteral("To save several values in the object dictionary the motor power has to be turned off. Turn off power now?"),
      QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No);
  if (answer != QMessageBox::Yes) return true;
  host_.waitAbortedFlag() = true;
  std::uint16_t c = 0;
  if (!readControlword(c)) return false;
  return switchOff(c);
}

QString DriveControl::ModeName(int mode) {
  switch (mode) {
    case 1: return QStringLiteral("Profile Position Mode");
    case 2: return QStringLiteral("Velocity Mode");
    case 3: return QStringLiteral("Profile Velocity Mode");
    case 4: return QStringLiteral("Torque Profile Mode");
    case 6: return QStringLiteral("Homing Mode");
    case 7: return QStringLiteral("Interpolated Position Mode");
    case 8: return QStringLiteral("Cyclic Sync Position Mode");
    case 9: return QStringLiteral("Cyclic Sync Velocity Mode");
    case 10: return QStringLiteral("Cyclic Sync Torque Mode");
    case -1: return QStringLiteral("Close Loop Test run");
    default: return QStringLiteral("unspecified");
  }
}
