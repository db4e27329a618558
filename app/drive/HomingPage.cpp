#include "HomingPage.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>

#include "ClosedLoopSetup.h"
#include "DLLConnector.h"
#include "DriveControl.h"
#include "InputFilters.h"
#include "MessageBoxService.h"
#include "StringGridSDODataSource.h"
#include "ui_HomingPage.h"

namespace cia402 = kestrum::canopen::cia402;

namespace {

constexpr int kHomingMode = 6;
constexpr std::uint16_t kHalt = cia402::cw::kHalt;
constexpr std::uint16_t kStart = cia402::cw::kHomingStart;
/// The run is over when the drive reports both: target reached and homing attained.
constexpr std::uint16_t kHomed = cia402::sw::kTargetReached | cia402::sw::kHomingAttained;
/// Ready to switch on, switched on and no quick stop: the drive can take the start.
constexpr std::uint16_t kReadyForStart = 0x0023;
constexpr int kPollMs = 10;

constexpr qint64 kU16Max = 0xFFFF;
constexpr qint64 kU32Max = 0xFFFFFFFFLL;
constexpr qint64 kS32Min = -0x80000000LL;
constexpr qint64 kS32Max = 0x7FFFFFFFLL;
/// The block current is a percentage of the rated current the drive caps at 150.
constexpr qint64 kBlockCurrentMax = 150;

const QString kStartFailure = QStringLiteral("send_SDO(0x6040, 0, TYPE_U16, 0x0f) [start] failed");
const QString kStartBitFailure = QStringLiteral("send_SDO(0x6040, 0, TYPE_U16, 0x1f) [start] failed");
const QString kStopFailure = QStringLiteral("[stop] failed");

}  // namespace

HomingPage::HomingPage(DriveControl& control, QWidget* parent)
    : DriveModePage(control, parent), ui(new Ui::HomingPage) {
  ui->setupUi(this);

  methodButtons_ = {ui->Ref19Btn,     ui->Ref20Btn,     ui->Ref21Btn,           ui->Ref22Btn,     ui->Ref33Btn,
                    ui->Ref34Btn,     ui->RefMinus2Btn, ui->RefMinus3Btn,       ui->RefMinus4Btn, ui->RefMinus5Btn,
                    ui->RefMinus6Btn, ui->RefMinus7Btn, ui->btnRefPositionReset};
  for (QPushButton* b : methodButtons_) {
    if (b == ui->btnRefPositionReset) continue;
    connect(b, &QPushButton::clicked, this, [this, b] { refButtonClick(b); });
  }
  connect(ui->btnRefPositionReset, &QPushButton::clicked, this, &HomingPage::btnRefPositionResetClick);
  connect(ui->hm_stop, &QPushButton::clicked, this, &HomingPage::StopHoming);

  parameters_ = {
      {ui->hspeed_switch, QStringLiteral("Search For Switch"), QStringLiteral("6099"), 1, 500, 0, kU32Max,
       QStringLiteral("Error setting [speed Switch]")},
      {ui->hspeed_zero, QStringLiteral("Search For Zero"), QStringLiteral("6099"), 2, 500, 0, kU32Max,
       QStringLiteral("[set min speed] failed")},
      {ui->haccel, QStringLiteral("Home Acceleration"), QStringLiteral("609A"), 0, 500, 0, kU32Max,
       QStringLiteral("[set accel] failed")},
      {ui->hoffset, QStringLiteral("Home Offset"), QStringLiteral("607C"), 0, 0, kS32Min, kS32Max,
       QStringLiteral("[set home offset] failed")},
      {ui->txtBlockCurrent, QStringLiteral("Block Current"), QStringLiteral("2004"), 4, 0, 0, kBlockCurrentMax,
       QStringLiteral("[set block current] failed")},
      {ui->txtLagError, QStringLiteral("Following Error Window"), QStringLiteral("6065"), 0, 0, 0, kU32Max,
       QStringLiteral("[set following error] failed")},
      {ui->txtLagErrorTimeout, QStringLiteral("Following Error Timeout"), QStringLiteral("6066"), 0, 0, 0, kU16Max,
       QStringLiteral("[set following error timeout] failed")},
  };
  for (const Parameter& p : parameters_) KeyFilter::install(p.edit, KeyFilter::Signed);

  ui->imgRefresh_ClosedLoop->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
  connect(ui->imgRefresh_ClosedLoop, &QToolButton::clicked, this, [this] { showClosedLoopStatus(true); });
  connect(ui->cmbEnableCLAuto, &QComboBox::currentIndexChanged, this, &HomingPage::cmbEnableCLAutoChange);
  connect(ui->cl_einrichtmodus, &QPushButton::clicked, this, &HomingPage::cl_einrichtmodusClick);
  connect(ui->cl_einrichtmodus_kurz, &QPushButton::clicked, this, &HomingPage::cl_einrichtmodus_kurzClick);
  // The two notes are read-only: a click on them lands on their group.
  ui->grpClosedLoop->setFocusPolicy(Qt::ClickFocus);
  ui->txtCLSetupInfo->installEventFilter(this);
  ui->txtCLFirmwareInfo->installEventFilter(this);
}

bool HomingPage::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == ui->txtCLSetupInfo || watched == ui->txtCLFirmwareInfo) &&
      event->type() == QEvent::MouseButtonPress)
    ui->grpClosedLoop->setFocus(Qt::MouseFocusReason);
  return DriveModePage::eventFilter(watched, event);
}

HomingPage::~HomingPage() = default;

void HomingPage::pause(int ms) const {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool HomingPage::offline() const {
  const auto* adapters = window()->findChild<QComboBox*>(QStringLiteral("comboExVendor"));
  return adapters && adapters->currentText() == QLatin1String("offline");
}

// ---- Page -------------------------------------------------------------------

void HomingPage::enter() {
  control_.setModeCaptions(QStringLiteral("homing attained"), QStringLiteral("=1 when error"));
  control_.writeValue(QStringLiteral("6060"), 0, kHomingMode, QStringLiteral("Error: Can't switch to Homing Mode"));

  // The fields show what the list last knew; the page reads nothing for them.
  StringGridSDODataSource* list = control_.host().sdoList();
  if (list) {
    for (const Parameter& p : parameters_)
      if (list->findEntry(p.id, p.subIndex)) p.edit->setText(list->getValue(p.id, p.subIndex, false));
  }

  const auto status = list ? DriveControl::fieldNumber(list->getValue(QStringLiteral("200A"), 0, false)) : std::nullopt;
  showClosedLoopText(status.value_or(0) & 1);
  clArmed_ = true;
  showEnableMode(control_.readValue(QStringLiteral("2001"), 0).value_or(0));
}

void HomingPage::leave() {
  if (running_) StopHoming();
}

void HomingPage::SetHomingButtonsEnabled(bool enabled) {
  if (enabled) QCoreApplication::processEvents();
  for (QPushButton* b : methodButtons_) b->setEnabled(enabled);
}

void HomingPage::refButtonClick(QPushButton* button) {
  const auto method = DriveControl::fieldNumber(button->text());
  if (method) StartHoming(int(*method));
}

void HomingPage::btnRefPositionResetClick() { refButtonClick(ui->btnRefPositionReset); }

void HomingPage::StopHoming() { control_.stopMotion(kStopFailure); }

// ---- Run --------------------------------------------------------------------

std::optional<std::vector<qint64>> HomingPage::parameterValues() {
  std::vector<qint64> values;
  bool ok = true;
  for (const Parameter& p : parameters_) {
    const QString text = p.edit->text().trimmed();
    const auto number = DriveControl::fieldNumber(text);
    if (text.isEmpty() || (number && *number == 0)) {
      // An empty field or a zero stands for the drive's usual value.
      values.push_back(p.fallback);
    } else if (!number) {
      control_.log(QStringLiteral("%1: '%2' is not a number, %3 used").arg(p.name, text).arg(p.fallback));
      values.push_back(p.fallback);
    } else if (*number < p.min || *number > p.max) {
      control_.log(
          QStringLiteral("%1: %2 is outside %3 to %4, nothing written").arg(p.name).arg(*number).arg(p.min).arg(p.max));
      ok = false;
    } else {
      values.push_back(*number);
    }
  }
  if (!ok) return std::nullopt;
  return values;
}

bool HomingPage::writeRunSettings(int method, const std::vector<qint64>& values) {
  if (!control_.writeValue(QStringLiteral("6098"), 0, method, QStringLiteral("Error setting Ref-Mode"))) return false;
  const auto written = control_.readValue(QStringLiteral("6098"), 0);
  if (!written || int(std::int8_t(*written)) != method) {
    control_.log(QStringLiteral("Incorrect Homing Method"));
    return false;
  }
  for (std::size_t i = 0; i < parameters_.size(); ++i) {
    const Parameter& p = parameters_[i];
    if (!control_.writeValue(p.id, p.subIndex, values[i], p.failure)) return false;
  }
  return true;
}

HomingPage::RunEnd HomingPage::waitForHome() {
  DriveHost& host = control_.host();
  for (;;) {
    if (control_.runEnded()) return RunEnd::Stopped;
    std::uint16_t s = 0;
    if (host.statuswordByPdo()) {
      // The PDO traffic keeps the list's value current.
      const auto value = host.sdoList()
                             ? DriveControl::fieldNumber(host.sdoList()->getValue(QStringLiteral("6041"), 0, false))
                             : std::nullopt;
      s = std::uint16_t(value.value_or(0));
    } else if (!control_.readStatusword(s)) {
      return control_.runEnded() ? RunEnd::Stopped : RunEnd::NoAnswer;
    }
    // A Stop may have come while the read was under way.
    if (control_.runEnded()) return RunEnd::Stopped;
    if ((s & kHomed) == kHomed) return RunEnd::Homed;
    if (s & cia402::sw::kHomingError) return RunEnd::HomingError;
    if (cia402::stateOf(s) != cia402::PowerState::OperationEnabled) return RunEnd::NotEnabled;
    pause(kPollMs);
  }
}

bool HomingPage::finishRun() {
  const auto state = control_.readState();
  if (!state) return false;
  // A drive that left operation enabled meanwhile is not switched back by the start bit's end.
  if (*state != cia402::PowerState::OperationEnabled) return true;
  std::uint16_t c = 0;
  if (!control_.readControlword(c)) return false;
  // Halt goes back on with the start bit: the next page's mode must not find a
  // released drive and run off with a target it still holds.
  return control_.writeControlword(std::uint16_t((c | kHalt) & ~kStart), kStartFailure);
}

bool HomingPage::StartHoming(int method) {
  if (running_) return false;  // the run under way keeps the window alive; a second one waits for it
  running_ = true;
  SetHomingButtonsEnabled(false);
  struct Restore {
    HomingPage* page;
    ~Restore() {
      page->running_ = false;
      page->SetHomingButtonsEnabled(true);
    }
  } restore{this};

  control_.beginRun();
  if (control_.closing()) return false;
  if (DLLConnector* c = control_.host().connector(); c && c->isQueryPending()) return false;

  const auto values = parameterValues();
  if (!values) return false;

  const auto state = control_.readState();
  if (!state) return false;
  if (*state != cia402::PowerState::OperationEnabled) {
    control_.log(QStringLiteral("Not in state Operation Enabled"));
    return false;
  }
  auto mode = control_.readModeDisplay();
  if (mode != kHomingMode) {
    control_.writeValue(QStringLiteral("6060"), 0, kHomingMode,
                        QStringLiteral("Error: Can't switch back to Homing Mode"));
    const auto now = control_.readModeDisplay();
    if (now != kHomingMode) {
      control_.log(QStringLiteral("Not in Operation Mode Homing Mode. Still busy with ") +
                   DriveControl::ModeName(now.value_or(mode.value_or(0))) + QStringLiteral("."));
      return false;
    }
  }
  if (!writeRunSettings(method, *values)) return false;

  if (!control_.WaitStatus(100, kReadyForStart, true)) {
    if (!control_.runEnded()) control_.log(QStringLiteral("Homing not started: the drive is not ready"));
    return false;
  }
  // The user asked for this run: the start is the one place where halt is released.
  std::uint16_t c = 0;
  if (!control_.readControlword(c)) return false;
  const std::uint16_t enable = std::uint16_t((c & ~kHalt & ~kStart) | cia402::cw::kEnableOperationCommand);
  if (!control_.writeControlword(enable, kStartFailure) ||
      !control_.writeControlword(std::uint16_t(enable | kStart), kStartBitFailure)) {
    control_.stopMotion(kStopFailure);
    return false;
  }

  switch (waitForHome()) {
    case RunEnd::Homed:
      if (!finishRun()) return false;
      control_.log(QStringLiteral("Homing finished"));
      return true;
    case RunEnd::HomingError:
      control_.log(QStringLiteral("Homing error"));
      control_.stopMotion(kStopFailure);
      return false;
    case RunEnd::Stopped:
      // The Stop (or Power Off) that ended the wait owns the controlword now.
      if (!control_.closing()) control_.log(QStringLiteral("Homing stopped"));
      return false;
    case RunEnd::NoAnswer:
      control_.log(QStringLiteral("The drive stopped answering while waiting for its status"));
      control_.stopMotion(kStopFailure);
      return false;
    case RunEnd::NotEnabled:
      control_.log(QStringLiteral("Homing ended: the drive left the state Operation Enabled"));
      control_.stopMotion(kStopFailure);
      return false;
  }
  return false;
}

// ---- Closed loop ------------------------------------------------------------

void HomingPage::showClosedLoopText(bool enabled) {
  const QString text = enabled ? QStringLiteral("enabled") : QStringLiteral("disabled");
  // The closed-loop page shows the same status.
  if (auto* other = window()->findChild<QLabel*>(QStringLiteral("lblCLStatus"))) other->setText(text);
  if (!offline()) ui->lblClosedLoopEnabled->setText(text);
}

void HomingPage::showEnableMode(qint64 index) {
  // A value the list has no item for shows as no selection rather than a wrong one.
  selectEnableItems(index >= 0 && index < ui->cmbEnableCLAuto->count() ? int(index) : -1, !offline());
}

void HomingPage::selectEnableItems(int index, bool homingList) {
  if (auto* other = window()->findChild<QComboBox*>(QStringLiteral("ComboBox1"))) {
    const QSignalBlocker quiet(other);
    other->setCurrentIndex(index);
  }
  if (!homingList) return;
  clShowing_ = true;
  ui->cmbEnableCLAuto->setCurrentIndex(index);
  clShowing_ = false;
}

bool HomingPage::showClosedLoopStatus(bool read) {
  StringGridSDODataSource* list = control_.host().sdoList();
  auto value = [&](const QString& id) -> qint64 {
    if (read) return control_.readValue(id, 0).value_or(0);
    return list ? DriveControl::fieldNumber(list->getValue(id, 0, false)).value_or(0) : 0;
  };
  const bool enabled = value(QStringLiteral("200A")) & 1;
  const qint64 mode = value(QStringLiteral("2001"));
  showClosedLoopText(enabled);
  showEnableMode(mode);
  return enabled;
}

void HomingPage::cmbEnableCLAutoChange(int index) {
  if (!clArmed_ || clShowing_ || index < 0) return;
  changeClosedLoopEnableMode(index);
}

void HomingPage::changeClosedLoopEnableMode(int index) {
  if (offline()) {
    selectEnableItems(0, true);
    showMessageBox(QStringLiteral("ERROR"),
                   QStringLiteral("No active CAN Card found. Closed Loop status can not be changed!"),
                   QMessageBox::Critical);
    return;
  }
  if (!control_.writeValue(QStringLiteral("2001"), 0, index, QString()) && !control_.closing()) {
    // The list's row holds the drive's reason (the abort's text).
    const sdoGridEntry* row =
        control_.host().sdoList() ? control_.host().sdoList()->findEntry(QStringLiteral("2001"), 0) : nullptr;
    control_.log(QStringLiteral("Closed Loop: writing the enable mode (0x2001) failed") +
                 (row && !row->message.isEmpty() ? QStringLiteral(": ") + row->message : QString()));
  }
  // The drive decides the status from the new mode; it shows after a moment.
  pause(100);
  showClosedLoopStatus(true);
}

// ---- Closed-loop set-up -------------------------------------------------------

void HomingPage::cl_einrichtmodusClick() {
  if (running_) return;
  const auto answer = showMessageBox(
      QStringLiteral("Warning"),
      QStringLiteral("Please do not change any settings during Closed Loop Motor Setup. IMPORTANT: during the Closed "
                     "Loop run, no communication is available -> Power Off and QuickStop are disabled!"),
      QMessageBox::Warning, QMessageBox::Ok | QMessageBox::Cancel);
  if (answer != QMessageBox::Ok) return;
  runSetup(true);
}

void HomingPage::cl_einrichtmodus_kurzClick() { runSetup(false); }

void HomingPage::runSetup(bool full) {
  if (running_) return;  // a reference run or a set-up is under way
  running_ = true;
  const std::vector<QPushButton*> setupButtons{ui->cl_einrichtmodus, ui->cl_einrichtmodus_kurz};
  SetHomingButtonsEnabled(false);
  for (QPushButton* b : setupButtons) b->setEnabled(false);
  struct Restore {
    HomingPage* page;
    const std::vector<QPushButton*>& buttons;
    ~Restore() {
      page->running_ = false;
      for (QPushButton* b : buttons) b->setEnabled(true);
      page->SetHomingButtonsEnabled(true);
    }
  } restore{this, setupButtons};

  ClosedLoopSetup setup(control_);
  const int enableMode = offline() ? -1 : ui->cmbEnableCLAuto->currentIndex();
  const auto result = setup.run(full ? ClosedLoopSetup::Kind::Full : ClosedLoopSetup::Kind::Short, enableMode);
  if (result == ClosedLoopSetup::Result::Done || result == ClosedLoopSetup::Result::Failed ||
      result == ClosedLoopSetup::Result::Stopped || result == ClosedLoopSetup::Result::TimedOut)
    showClosedLoopStatus(true);
}
