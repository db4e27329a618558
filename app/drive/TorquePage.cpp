#include "TorquePage.h"

#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <cstdint>

#include "DriveControl.h"
#include "DriveFields.h"
#include "InputFilters.h"
#include "MessageBoxService.h"
#include "canopen/Cia402.h"
#include "ui_TorquePage.h"

namespace cia402 = kestrum::canopen::cia402;

namespace {

constexpr qint64 kMaxTorque = 1000;  ///< per mille of the maximum current
constexpr qint64 kMaxSpeed = 25000;
constexpr std::uint16_t kHalt = cia402::cw::kHalt;
constexpr std::uint16_t kModeBit4 = 0x0010;
constexpr std::uint16_t kClosedLoopEnabled = 0x0001;

}  // namespace

TorquePage::TorquePage(DriveControl& control, QWidget* parent)
    : DriveModePage(control, parent), ui(new Ui::TorquePage) {
  ui->setupUi(this);
  KeyFilter::install(ui->txtTorqueTarget, KeyFilter::Signed);
  KeyFilter::install(ui->txtTorqueMaxRPM, KeyFilter::Unsigned);
  connect(ui->txtTorqueTarget, &QLineEdit::textChanged, this, &TorquePage::txtTorqueTargetChange);
  connect(ui->txtTorqueMaxRPM, &QLineEdit::textChanged, this, &TorquePage::txtTorqueMaxRPMChange);
  connect(ui->cmdStartTorque, &QPushButton::clicked, this, &TorquePage::cmdStartTorqueClick);
  connect(ui->cmdStopTorque, &QPushButton::clicked, this, &TorquePage::cmdStopTorqueClick);
}

TorquePage::~TorquePage() = default;

void TorquePage::enter() {
  control_.setModeCaptions(QStringLiteral("not used"), QStringLiteral("not used"));
  const qint64 closedLoop = control_.readValue(QStringLiteral("200A"), 0).value_or(0);
  if (!(closedLoop & kClosedLoopEnabled)) {
    showMessageBox(QStringLiteral("State Warning"), QStringLiteral("Closed Loop has to be enabled for Torque Mode"),
                   QMessageBox::Warning);
    emit closedLoopMissing();
    return;
  }
  control_.writeValue(QStringLiteral("6060"), 0, cia402::mode::kProfileTorque,
                      QStringLiteral("Error: Can't switch to Torque Mode"));
  // The texts pass the typing limits, so a value beyond them shows clamped.
  if (const auto speed = control_.readValue(QStringLiteral("607F"), 0))
    ui->txtTorqueMaxRPM->setText(QString::number(*speed));
  if (const auto torque = control_.readValue(QStringLiteral("6071"), 0))
    ui->txtTorqueTarget->setText(QString::number(*torque));
}

void TorquePage::leave() { cmdStopTorqueClick(); }

void TorquePage::txtTorqueTargetChange(const QString& text) {
  const qint64 v = DriveControl::fieldNumber(text).value_or(0);
  if (v < -kMaxTorque) ui->txtTorqueTarget->setText(QString::number(-kMaxTorque));
  if (v > kMaxTorque) ui->txtTorqueTarget->setText(QString::number(kMaxTorque));
}

void TorquePage::txtTorqueMaxRPMChange(const QString& text) {
  if (DriveControl::fieldNumber(text).value_or(0) > kMaxSpeed) ui->txtTorqueMaxRPM->setText(QString::number(kMaxSpeed));
}

void TorquePage::abandonStart() {
  if (!control_.runEnded()) control_.stopMotion(QStringLiteral("[stop] failed"));
}

void TorquePage::cmdStartTorqueClick() {
  const auto typedTorque = DriveControl::fieldNumber(ui->txtTorqueTarget->text());
  const auto typedSpeed = DriveControl::fieldNumber(ui->txtTorqueMaxRPM->text());
  if (!typedTorque) {
    control_.log(
        QStringLiteral("Start: Target Torque \"%1\" is no number, nothing was sent").arg(ui->txtTorqueTarget->text()));
    return;
  }
  if (!typedSpeed || *typedSpeed < 0) {
    control_.log(QStringLiteral("Start: Max. Speed \"%1\" is no valid value, nothing was sent")
                     .arg(ui->txtTorqueMaxRPM->text()));
    return;
  }
  // The drive gets the limits the fields show, whatever text got past them.
  const qint64 torque = std::clamp(*typedTorque, -kMaxTorque, kMaxTorque);
  const qint64 speed = std::min(*typedSpeed, kMaxSpeed);

  const drive_fields::ControlsOff busy({ui->cmdStartTorque});

  control_.beginRun();
  const auto state = control_.readState();
  if (!state) {
    abandonStart();
    return;
  }
  if (*state != DriveControl::PowerState::OperationEnabled) {
    control_.log(QStringLiteral("You have to Power on the device before starting the profile"));
    return;
  }
  // A run with an old target or without its speed limit is not what was asked for.
  if (!control_.writeValue(QStringLiteral("6071"), 0, torque, QStringLiteral("setting Target Torque failed")) ||
      !control_.writeValue(QStringLiteral("607F"), 0, speed, QStringLiteral("setting Torque Max RPM failed"))) {
    abandonStart();
    return;
  }
  if (!control_.WaitStatus(100, 0x0023, true) || control_.runEnded()) {
    abandonStart();
    return;
  }
  std::uint16_t c = 0;
  if (!control_.readControlword(c) || control_.runEnded()) {
    abandonStart();
    return;
  }
  if (!control_.writeControlword(std::uint16_t((c | kHalt) & ~kModeBit4), QStringLiteral("[start] failed")) ||
      control_.runEnded()) {
    abandonStart();
    return;
  }
  // The halt is released only on a drive that is still enabled: the word
  // must not switch on a drive that went off or into a quick stop meanwhile.
  const auto now = control_.readState();
  if (!now || control_.runEnded()) {
    abandonStart();
    return;
  }
  if (*now != DriveControl::PowerState::OperationEnabled) {
    control_.log(QStringLiteral("You have to Power on the device before starting the profile"));
    return;
  }
  if (!control_.writeControlword(std::uint16_t((c & ~kHalt & ~kModeBit4) | cia402::cw::kEnableOperationCommand),
                                 QStringLiteral("[start] failed")))
    abandonStart();
}

void TorquePage::cmdStopTorqueClick() { control_.stopMotion(QStringLiteral("[stop] failed")); }
