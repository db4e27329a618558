#include "IPModePage.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "DLLConnector.h"
#include "DriveControl.h"
#include "DriveFields.h"
#include "InputFilters.h"
#include "StringGridSDODataSource.h"
#include "canopen/Cia402.h"
#include "ui_IPModePage.h"

namespace cia402 = kestrum::canopen::cia402;

namespace {

constexpr qint64 kS32Min = std::numeric_limits<std::int32_t>::min();
constexpr qint64 kS32Max = std::numeric_limits<std::int32_t>::max();
constexpr qint64 kMaxCobId = 0x7FF;
constexpr qint64 kMaxPeriodMs = 60000;
constexpr std::uint16_t kHalt = cia402::cw::kHalt;
constexpr std::uint16_t kEnableInterpolation = cia402::cw::kEnableInterpolation;

}  // namespace

IPModePage::IPModePage(DriveControl& control, QWidget* parent)
    : DriveModePage(control, parent), ui(new Ui::IPModePage) {
  ui->setupUi(this);
  KeyFilter::install(ui->IpmodeSyncCobidEdit, KeyFilter::CobId);
  KeyFilter::install(ui->IpmodeSyncTimeEdit, KeyFilter::Signed);
  KeyFilter::install(ui->IpmodePositionEdit, KeyFilter::Signed);
  KeyFilter::install(ui->IpmodeIncrementEdit, KeyFilter::Signed);
  KeyFilter::install(ui->IpmodeCobidPositionEdit, KeyFilter::CobId);
  KeyFilter::install(ui->IpmodeNewIncrementEdit, KeyFilter::Signed);

  connect(ui->IpmodeSyncCheckBox, &QCheckBox::toggled, this, &IPModePage::IpmodeSyncCheckBoxClick);
  connect(ui->IpmodeStartButton, &QPushButton::clicked, this, &IPModePage::IpmodeStartButtonClick);
  connect(ui->IpmodeStopButton, &QPushButton::clicked, this, &IPModePage::IpmodeStopButtonClick);
  connect(ui->IpmodeNewIncrementTakeButton, &QPushButton::clicked, this,
          &IPModePage::IpmodeNewIncrementTakeButtonClick);
  connect(ui->IpmodeIncrementPlusButton, &QPushButton::clicked, this, &IPModePage::IpmodeIncrementPlusButtonClick);
  connect(ui->IpmodeIncrementMinusButton, &QPushButton::clicked, this, &IPModePage::IpmodeIncrementMinusButtonClick);
  // The window makes its SYNC timer after its pages: syncTimer() connects it at first use.
}

IPModePage::~IPModePage() = default;

// ---- Fields -----------------------------------------------------------------

IPModePage::Field IPModePage::syncCobIdField() const {
  return {ui->IpmodeSyncCobidEdit, "COB-ID Sync Object", 1, kMaxCobId, "0x80"};
}
IPModePage::Field IPModePage::periodField() const {
  return {ui->IpmodeSyncTimeEdit, "Sync time [ms]", 1, kMaxPeriodMs, "1000"};
}
IPModePage::Field IPModePage::positionField() const {
  return {ui->IpmodePositionEdit, "Position", kS32Min, kS32Max, "0"};
}
IPModePage::Field IPModePage::incrementField() const {
  return {ui->IpmodeIncrementEdit, "Increment", kS32Min, kS32Max, "0"};
}
IPModePage::Field IPModePage::positionCobIdField() const {
  return {ui->IpmodeCobidPositionEdit, "COB-ID Position Object", 1, kMaxCobId, "0x401"};
}

std::optional<qint64> IPModePage::valueOf(const Field& field) {
  const auto value = DriveControl::fieldNumber(field.edit->text());
  if (!value || *value < field.low || *value > field.high) return std::nullopt;
  return value;
}

qint64 IPModePage::valueOrFallback(const Field& field) {
  if (const auto value = valueOf(field)) return *value;
  control_.log(QStringLiteral("%1: \"%2\" is no valid value, %3 used")
                   .arg(QLatin1String(field.caption), field.edit->text(), QLatin1String(field.fallback)));
  // The user sees the value the frames carry from now on.
  field.edit->setText(QLatin1String(field.fallback));
  return *DriveControl::fieldNumber(QLatin1String(field.fallback));
}

void IPModePage::setSetupFieldsEnabled(bool enabled) {
  for (QLineEdit* edit :
       {ui->IpmodeCobidPositionEdit, ui->IpmodePositionEdit, ui->IpmodeSyncTimeEdit, ui->IpmodeSyncCobidEdit})
    edit->setEnabled(enabled);
}

// ---- Page -------------------------------------------------------------------

void IPModePage::enter() {
  syncTimer();
  control_.setModeCaptions(QStringLiteral("IP Mode active"), QStringLiteral("not used"));
  control_.writeValue(QStringLiteral("6060"), 0, cia402::mode::kInterpolatedPosition,
                      QStringLiteral("Error: Can't switch to IP Mode"));
  if (StringGridSDODataSource* list = control_.host().sdoList()) {
    // The node's own SYNC identifier, as the list last knew it; the upper
    // bits of the COB-ID are flags, not part of the identifier.
    if (list->findEntry(QStringLiteral("1005"), 0)) {
      if (const auto cobId = DriveControl::fieldNumber(list->getValue(QStringLiteral("1005"), 0, false)))
        ui->IpmodeSyncCobidEdit->setText(
            QStringLiteral("0x") +
            QString::number(*cobId & kMaxCobId, 16).toUpper().rightJustified(2, QLatin1Char('0')));
    }
  }
  // The interpolation starts where the drive's demand stands, not at a jump.
  if (const auto position = control_.readValue(QStringLiteral("6062"), 0))
    ui->IpmodePositionEdit->setText(QString::number(*position));
}

void IPModePage::leave() { IpmodeStopButtonClick(); }

// ---- SYNC master ------------------------------------------------------------

QTimer* IPModePage::syncTimer() {
  QTimer* timer = control_.host().ipSyncTimer();
  if (timer) connect(timer, &QTimer::timeout, this, &IPModePage::IpmodeSyncTimerTimer, Qt::UniqueConnection);
  return timer;
}

void IPModePage::IpmodeSyncCheckBoxClick(bool checked) {
  QTimer* timer = syncTimer();
  if (!timer) return;
  if (!checked) {
    timer->stop();
    return;
  }
  timer->setInterval(int(valueOrFallback(periodField())));
  timer->start();
}

void IPModePage::IpmodeSyncTimerTimer() {
  const qint64 syncId = valueOrFallback(syncCobIdField());
  const qint64 period = valueOrFallback(periodField());
  const qint64 increment = valueOrFallback(incrementField());
  const qint64 positionId = valueOrFallback(positionCobIdField());
  // The target stops at the end of the 32-bit range rather than wrap to the far end of it.
  const qint64 position = std::clamp(valueOrFallback(positionField()) + increment, kS32Min, kS32Max);

  QTimer* timer = syncTimer();
  // setInterval restarts a running timer: only a changed period may shift the ticks.
  if (timer && timer->interval() != int(period)) timer->setInterval(int(period));
  ui->IpmodePositionEdit->setText(QString::number(position));

  DLLConnector* connector = control_.host().connector();
  if (!connector || control_.closing()) return;
  std::array<std::uint8_t, 8> sync{};
  if (!connector->send_PDOW(std::int32_t(syncId), sync.data(), false)) {
    // Without its SYNC the position frame would take effect a period late.
    if (!syncFailureLogged_) control_.log(QStringLiteral("Sending the SYNC frame failed"));
    syncFailureLogged_ = true;
    return;
  }
  syncFailureLogged_ = false;
  std::array<std::uint8_t, 8> frame{};
  const auto bits = std::uint32_t(std::int32_t(position));
  for (int i = 0; i < 4; ++i) frame[std::size_t(i)] = std::uint8_t(bits >> (8 * i));
  connector->send_PDOW(std::int32_t(positionId), frame.data(), false);
}

// ---- Start and stop ---------------------------------------------------------

void IPModePage::IpmodeStartButtonClick() {
  for (const Field& field :
       {syncCobIdField(), periodField(), positionField(), incrementField(), positionCobIdField()}) {
    if (!valueOf(field)) {
      control_.log(QStringLiteral("Start: %1: \"%2\" is no valid value, nothing was sent")
                       .arg(QLatin1String(field.caption), field.edit->text()));
      return;
    }
  }
  const drive_fields::ControlsOff busy({ui->IpmodeStartButton});
  control_.beginRun();
  setSetupFieldsEnabled(false);
  // A start that cannot finish leaves the drive halted rather than as it was found.
  auto fail = [this] {
    setSetupFieldsEnabled(true);
    if (!control_.runEnded()) control_.stopMotion(QStringLiteral("[stop] failed"));
  };
  const auto state = control_.readState();
  if (!state) {
    fail();
    return;
  }
  if (*state != DriveControl::PowerState::OperationEnabled) {
    control_.log(QStringLiteral("You have to Power on the device before starting the profile"));
    setSetupFieldsEnabled(true);
    return;
  }
  std::uint16_t c = 0;
  if (!control_.readControlword(c)) {
    fail();
    return;
  }
  // A Stop pressed while the words were read has the last word.
  if (control_.runEnded()) return;
  if (!control_.writeControlword(std::uint16_t((c & ~kHalt) | kEnableInterpolation), QStringLiteral("[start] failed")))
    fail();
}

void IPModePage::IpmodeStopButtonClick() {
  setSetupFieldsEnabled(true);
  // The frames go on with the target where it is.
  ui->IpmodeIncrementEdit->setText(QStringLiteral("0"));
  control_.stopMotion(QStringLiteral("[stop] failed"));
}

// ---- Increment --------------------------------------------------------------

void IPModePage::IpmodeNewIncrementTakeButtonClick() {
  ui->IpmodeIncrementEdit->setText(ui->IpmodeNewIncrementEdit->text());
}

void IPModePage::IpmodeIncrementPlusButtonClick() { changeIncrement(1); }

void IPModePage::IpmodeIncrementMinusButtonClick() { changeIncrement(-1); }

void IPModePage::changeIncrement(int sign) {
  const auto increment = DriveControl::fieldNumber(ui->IpmodeIncrementEdit->text());
  const auto step = DriveControl::fieldNumber(ui->IpmodeNewIncrementEdit->text());
  if (!increment || !step) return;
  const qint64 next = *increment + sign * *step;
  if (next < kS32Min || next > kS32Max) return;
  ui->IpmodeIncrementEdit->setText(QString::number(next));
}
