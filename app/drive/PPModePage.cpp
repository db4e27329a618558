#include "PPModePage.h"

#include <QCheckBox>

#include "DriveFields.h"
#include "InputFilters.h"
#include "StringGridSDODataSource.h"
#include "Util.h"
#include "ui_PPModePage.h"

namespace cia402 = kestrum::canopen::cia402;
namespace fields = drive_fields;

namespace {

/// Enable operation with halt cleared: the start of a move the user asked for.
constexpr std::uint16_t kEnableOperation = cia402::cw::kEnableOperationCommand;

}  // namespace

PPModePage::PPModePage(DriveControl& control, QWidget* parent)
    : DriveModePage(control, parent), ui(new Ui::PPModePage) {
  ui->setupUi(this);
  for (QLineEdit* edit : {ui->weg_edit, ui->PPminspeed, ui->PPmaxspeed, ui->PPaccel, ui->PPdecel, ui->PPqsdecel})
    KeyFilter::install(edit, KeyFilter::Signed);
  // The two set-point options exclude each other; both may be off.
  connect(ui->pp_csi, &QCheckBox::clicked, this, [this](bool on) {
    if (on) ui->pp_cos->setChecked(false);
  });
  connect(ui->pp_cos, &QCheckBox::clicked, this, [this](bool on) {
    if (on) ui->pp_csi->setChecked(false);
  });
  connect(ui->dogrid, &QAbstractButton::clicked, this, &PPModePage::dogridClick);
  connect(ui->btnPPModeHalt, &QAbstractButton::clicked, &control_, &DriveControl::HaltButtonClick);
}

PPModePage::~PPModePage() = default;

int PPModePage::rampTypeValue(const QString& text) {
  const QString type = text.toLower();
  if (type == QLatin1String("sin")) return 1;
  if (type == QLatin1String("jerkfree")) return 2;
  return 0;
}

void PPModePage::enter() {
  control_.setModeCaptions(QStringLiteral("set point acknowledge"), QStringLiteral("following error"));
  control_.writeValue(QStringLiteral("6060"), 0, cia402::mode::kProfilePosition,
                      QStringLiteral("Error: Can't switch to PP Mode"));
  // The values of the read of all objects: no transfers on entry.
  if (StringGridSDODataSource* list = control_.host().sdoList()) {
    const auto cached = [list](const char* id) { return list->getValue(QLatin1String(id), 0, false); };
    ui->PPmaxspeed->setText(cached("6081"));
    ui->PPminspeed->setText(cached("6082"));
    const int ramp = Util::ToIntDef(cached("6086"), 0);
    ui->PPRampType->setCurrentIndex(ramp >= 0 && ramp < ui->PPRampType->count() ? ramp : -1);
    ui->PPaccel->setText(cached("6083"));
    ui->PPdecel->setText(cached("6084"));
    ui->PPqsdecel->setText(cached("6085"));
  }
  if (auto* poll = window()->findChild<QCheckBox*>(QStringLiteral("chkPollCurrentSpeed"))) poll->setChecked(false);
}

void PPModePage::leave() { control_.stopMotion(QStringLiteral("[stop] failed")); }

void PPModePage::abortStart() {
  if (control_.closing()) return;
  control_.stopMotion(QStringLiteral("[stop] failed"));
  control_.log(QStringLiteral("Start cancelled: the drive was halted"));
}

void PPModePage::dogridClick() {
  fields::ControlsOff busy({ui->dogrid, ui->btnPPModeHalt});
  control_.beginRun();
  if (!control_.readyToStart()) return;

  // Every field is checked before the first write: a half-written profile
  // would move the drive with values the user did not mean.
  const auto target = fields::number(control_, ui->weg_edit, QStringLiteral("Target Position"), fields::kS32);
  if (!target) return;
  const auto maxSpeed = fields::number(control_, ui->PPmaxspeed, QStringLiteral("Max Velocity"), fields::kU32);
  if (!maxSpeed) return;
  const auto minSpeed = fields::number(control_, ui->PPminspeed, QStringLiteral("Min Velocity"), fields::kU32);
  if (!minSpeed) return;
  const auto accel = fields::number(control_, ui->PPaccel, QStringLiteral("Acceleration"), fields::kU32NonZero);
  if (!accel) return;
  const auto decel = fields::number(control_, ui->PPdecel, QStringLiteral("Deceleration"), fields::kU32NonZero);
  if (!decel) return;
  const auto qsDecel =
      fields::number(control_, ui->PPqsdecel, QStringLiteral("Quick Stop Deceleration"), fields::kU32NonZero);
  if (!qsDecel) return;
  const int rampType = rampTypeValue(ui->PPRampType->currentText());

  std::uint16_t c = kEnableOperation;
  if (ui->PPmovemode->currentText() == QLatin1String("relative")) c |= cia402::cw::kRelative;
  if (ui->pp_cos->isChecked()) c |= cia402::cw::kChangeOnSetPoint;
  if (ui->pp_csi->isChecked()) c |= cia402::cw::kChangeSetImmediately;

  struct Write {
    const char* id;
    qint64 value;
    const char* failure;
  };
  const Write profile[] = {
      {"607A", *target, "[set position] failed"},    {"6081", *maxSpeed, "[set max speed] failed"},
      {"6082", *minSpeed, "[set min speed] failed"}, {"6083", *accel, "[set accel] failed"},
      {"6084", *decel, "[set decel] failed"},        {"6086", rampType, "[set ramp type] failed"},
      {"6085", *qsDecel, "[set QS decel] failed"},
  };
  // A parameter the drive refused would leave it moving with an older one.
  for (const Write& w : profile) {
    if (control_.runEnded()) return;  // Stop or Power Off meanwhile
    if (!control_.writeValue(QLatin1String(w.id), 0, w.value, QLatin1String(w.failure))) return abortStart();
  }
  if (control_.runEnded()) return;
  if (!control_.writeControlword(c, QStringLiteral("[set operation mode] failed"))) return abortStart();

  // The set-point goes out only to a drive that is still enabled.
  const bool ready = control_.WaitStatus(100, 0x0023, true);
  if (control_.closing() || control_.host().waitAbortedFlag()) return;  // a Stop has already halted it
  if (!ready || control_.readState() != DriveControl::PowerState::OperationEnabled) return abortStart();

  const std::uint16_t toggle[] = {std::uint16_t(c & ~cia402::cw::kNewSetPoint),
                                  std::uint16_t(c | cia402::cw::kNewSetPoint),
                                  std::uint16_t(c & ~cia402::cw::kNewSetPoint)};
  for (std::uint16_t word : toggle) {
    if (control_.runEnded()) return;
    if (!control_.writeControlword(word, QStringLiteral("[start] failed"))) return abortStart();
  }
}
