#include "VelModePage.h"

#include <QCheckBox>
#include <QHideEvent>
#include <QTimer>

#include "AutoRefresh.h"
#include "DLLConnector.h"
#include "DriveFields.h"
#include "InputFilters.h"
#include "StringGridSDODataSource.h"
#include "Util.h"
#include "ui_VelModePage.h"

namespace cia402 = kestrum::canopen::cia402;
namespace fields = drive_fields;

namespace {

/// The ramp function generator of the velocity mode runs only with its three
/// bits set (enable, unlock, use the reference).
constexpr std::uint16_t kRampBits = cia402::cw::kRampEnable | cia402::cw::kRampUnlock | cia402::cw::kReferenceRamp;
/// Enabled with the ramp ready and halt set: the target can be written
/// without the motor taking it up.
constexpr std::uint16_t kEnableHalted = cia402::cw::kEnableOperationCommand | kRampBits | cia402::cw::kHalt;
/// Halt released: the motor ramps to the target.
constexpr std::uint16_t kEnableRunning = cia402::cw::kEnableOperationCommand | kRampBits;

}  // namespace

VelModePage::VelModePage(DriveControl& control, QWidget* parent)
    : DriveModePage(control, parent), ui(new Ui::VelModePage) {
  ui->setupUi(this);
  for (QLineEdit* edit : {ui->VLtarvel, ui->VLminvel, ui->VLmaxvel, ui->VLaccelz, ui->VLacceln, ui->VLdecelz,
                          ui->VLdeceln, ui->VLqsdecelz, ui->VLqsdeceln})
    KeyFilter::install(edit, KeyFilter::Signed);
  connect(ui->StartBtnVel, &QAbstractButton::clicked, this, &VelModePage::StartBtnVelClick);
  connect(ui->StopBtnVel, &QAbstractButton::clicked, this, &VelModePage::StopBtnVelClick);
  connect(ui->btnSetCurrentSpeed, &QAbstractButton::clicked, this, &VelModePage::btnSetCurrentSpeedClick);
  connect(ui->btnrefreshCurrentSpeed, &QAbstractButton::clicked, this, &VelModePage::btnrefreshCurrentSpeedClick);
  connect(ui->chkPollCurrentSpeed, &QCheckBox::toggled, this, &VelModePage::chkPollCurrentSpeedClick);
  connect(ui->btnVelocityHalt, &QAbstractButton::clicked, &control_, &DriveControl::HaltButtonClick);
}

VelModePage::~VelModePage() = default;

qint64 VelModePage::clampTarget(qint64 target, qint64 min, qint64 max) {
  if (target == 0) return 0;  // standstill is a target of its own
  const qint64 sign = target < 0 ? -1 : 1;
  const qint64 amount = target * sign;
  qint64 result = amount;
  if (amount > max) result = max;
  if (amount < min) result = min;
  return sign * result;
}

void VelModePage::enter() {
  control_.setModeCaptions(QStringLiteral("not used"), QStringLiteral("not used"));
  control_.SetDriveButtonsEnabled(true);
  control_.writeValue(QStringLiteral("6060"), 0, cia402::mode::kVelocity,
                      QStringLiteral("Error: Can't switch to Velocity Mode"));
  btnrefreshCurrentSpeedClick();
  struct Field {
    QLineEdit* edit;
    const char* id;
    int sub;
  };
  const Field fromNode[] = {{ui->VLtarvel, "6042", 0}, {ui->VLminvel, "6046", 1},   {ui->VLmaxvel, "6046", 2},
                            {ui->VLaccelz, "6048", 1}, {ui->VLacceln, "6048", 2},   {ui->VLdecelz, "6049", 1},
                            {ui->VLdeceln, "6049", 2}, {ui->VLqsdecelz, "604A", 1}, {ui->VLqsdeceln, "604A", 2}};
  for (const Field& f : fromNode) {
    if (control_.closing()) return;
    // A field the node did not answer for keeps what the user sees.
    if (const auto value = control_.readValue(QLatin1String(f.id), f.sub)) f.edit->setText(QString::number(*value));
  }
}

void VelModePage::leave() {
  StopBtnVelClick();
  ui->chkPollCurrentSpeed->setChecked(false);
}

void VelModePage::hideEvent(QHideEvent* event) {
  // Hidden with its page or with the "Drive Modes" page: nobody sees the speed any more.
  if (!event->spontaneous()) ui->chkPollCurrentSpeed->setChecked(false);
  DriveModePage::hideEvent(event);
}

void VelModePage::StopBtnVelClick() { control_.stopMotion(QStringLiteral("[stop] failed"), true); }

void VelModePage::abortStart() {
  if (control_.closing()) return;
  control_.stopMotion(QStringLiteral("[stop] failed"), true);
  control_.log(QStringLiteral("Start cancelled: the drive was halted"));
}

std::optional<qint64> VelModePage::clampedTarget() {
  const auto target = fields::number(control_, ui->VLtarvel, QStringLiteral("Target Velocity"), fields::kS16);
  if (!target) return std::nullopt;
  const auto min = fields::number(control_, ui->VLminvel, QStringLiteral("Min Velocity"), fields::kU32);
  if (!min) return std::nullopt;
  const auto max = fields::number(control_, ui->VLmaxvel, QStringLiteral("Max Velocity"), fields::kU32);
  if (!max) return std::nullopt;
  const qint64 clamped = clampTarget(*target, *min, *max);
  if (clamped < fields::kS16.min || clamped > fields::kS16.max) {
    control_.log(QStringLiteral("Target Velocity: %1 (the limit of Min Velocity) is out of range (%2 to %3)")
                     .arg(clamped)
                     .arg(fields::kS16.min)
                     .arg(fields::kS16.max));
    return std::nullopt;
  }
  if (clamped != *target) ui->VLtarvel->setText(QString::number(clamped));
  return clamped;
}

void VelModePage::StartBtnVelClick() {
  // Stop, Power Off and Quick Stop stay available: they end the run.
  QWidget* w = window();
  fields::ControlsOff busy({ui->StartBtnVel, ui->btnSetCurrentSpeed, ui->btnVelocityHalt,
                            w->findChild<QWidget*>(QStringLiteral("Button1")),
                            w->findChild<QWidget*>(QStringLiteral("pwrOnBtn"))});
  control_.beginRun();
  if (!control_.readyToStart()) return;

  // Every field is checked before the first write.
  const auto minVel = fields::number(control_, ui->VLminvel, QStringLiteral("Min Velocity"), fields::kU32);
  if (!minVel) return;
  const auto maxVel = fields::number(control_, ui->VLmaxvel, QStringLiteral("Max Velocity"), fields::kU32);
  if (!maxVel) return;
  struct Fraction {
    QLineEdit* numerator;
    QLineEdit* denominator;
    const char* name;
  };
  const Fraction ramps[] = {{ui->VLaccelz, ui->VLacceln, "Acceleration"},
                            {ui->VLdecelz, ui->VLdeceln, "Deceleration"},
                            {ui->VLqsdecelz, ui->VLqsdeceln, "Quick Stop"}};
  qint64 rampValues[3][2] = {};
  for (int i = 0; i < 3; ++i) {
    const QString name = QLatin1String(ramps[i].name);
    const auto z = fields::number(control_, ramps[i].numerator, name + QStringLiteral(" steps"), fields::kU32);
    if (!z) return;
    const auto n = fields::number(control_, ramps[i].denominator, name + QStringLiteral(" sec"), fields::kU16NonZero);
    if (!n) return;
    rampValues[i][0] = *z;
    rampValues[i][1] = *n;
  }
  const auto target = clampedTarget();
  if (!target) return;

  struct Write {
    const char* id;
    int sub;
    qint64 value;
    const char* failure;
  };
  const Write writes[] = {
      {"6046", 1, *minVel, "[set min velocity] failed"},
      {"6046", 2, *maxVel, "[set max velocity] failed"},
      {"6040", 0, kEnableHalted, "[set operation mode] failed"},
      {"6042", 0, *target, "[set target velocity] failed"},
      {"6048", 1, rampValues[0][0], "[set accel z] failed"},
      {"6048", 2, rampValues[0][1], "[set accel n] failed"},
      {"6049", 1, rampValues[1][0], "[set decel z] failed"},
      {"6049", 2, rampValues[1][1], "[set decel n] failed"},
      {"604A", 1, rampValues[2][0], "[set QS decel z] failed"},
      {"604A", 2, rampValues[2][1], "[set QS decel n] failed"},
  };
  // A value the drive refused would leave it running on an older one.
  for (const Write& wr : writes) {
    if (control_.runEnded()) return;  // Stop or Power Off meanwhile
    const QString id = QLatin1String(wr.id);
    const QString failure = QLatin1String(wr.failure);
    // The controlword goes through its own write, which keeps the halt captions in step.
    const bool ok = id == QLatin1String("6040") ? control_.writeControlword(std::uint16_t(wr.value), failure)
                                                : control_.writeValue(id, wr.sub, wr.value, failure);
    if (!ok) return abortStart();
  }

  // Halt is released only on a drive that is still enabled.
  const bool ready = control_.WaitStatus(100, 0x0023, true);
  if (control_.closing() || control_.host().waitAbortedFlag()) return;  // a Stop has already halted it
  if (!ready || control_.readState() != DriveControl::PowerState::OperationEnabled) return abortStart();
  if (control_.runEnded()) return;
  if (!control_.writeControlword(kEnableRunning, QStringLiteral("[start] failed"))) abortStart();
}

void VelModePage::btnSetCurrentSpeedClick() {
  // The controlword stays: a running motor changes speed, a halted one stays halted.
  const auto target = clampedTarget();
  if (!target) return;
  control_.writeValue(QStringLiteral("6042"), 0, *target, QStringLiteral("[set target velocity] failed"));
}

void VelModePage::btnrefreshCurrentSpeedClick() {
  DLLConnector* connector = control_.host().connector();
  if (control_.closing() || (connector && connector->isQueryPending())) return;
  if (const auto speed = control_.readValue(QStringLiteral("6044"), 0))
    ui->lblCurrentSpeed->setText(QString::number(*speed));
}

void VelModePage::chkPollCurrentSpeedClick(bool checked) {
  // Unticking leaves the timer to the tick, which knows whether another box needs it.
  QTimer* timer = control_.host().ioRefreshTimer();
  if (!checked || !timer) return;
  // The window makes its timers after its pages: the tick is taken up here.
  connect(timer, &QTimer::timeout, this, &VelModePage::ioRefreshTick, Qt::UniqueConnection);
  if (!timer->isActive()) timer->start();
}

void VelModePage::ioRefreshTick() {
  QTimer* timer = control_.host().ioRefreshTimer();
  if (!timer || control_.closing()) return;
  if (ui->chkPollCurrentSpeed->isChecked()) btnrefreshCurrentSpeedClick();
  auto_refresh::endTick(timer, window(), false);
}
