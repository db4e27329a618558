#include "MotorSettingsPage.h"

#include <QComboBox>
#include <QSignalBlocker>
#include <QSpinBox>

#include <algorithm>
#include <cmath>

#include "DLLConnector.h"
#include "DeviceLib.h"
#include "GuardedHandler.h"
#include "InputFilters.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "MotorHost.h"
#include "MotorLib.h"
#include "StringGridSDODataSource.h"
#include "TfrmBrakeInfo.h"
#include "Util.h"
#include "ui_MotorSettingsPage.h"

namespace {

constexpr int kMaxPercent = 150;
constexpr std::int64_t kBrakeTimeMax = 65535;
/// Encoder resolutions are listed in lines; 0x608F:1 counts increments (four per line).
constexpr std::int64_t kIncrementsPerLine = 4;
/// Motors with fewer windings have one fixed wiring.
constexpr int kMinWindingsForWiring = 4;

const QString kBldcText = QStringLiteral("BLDC");
const QString kSerial = QStringLiteral("Serial");
const QString kParallel = QStringLiteral("Parallel");

/// The exact number the text stands for by the application's number rules,
/// without the 32-bit wrap of the conversion: a value beyond an object's type
/// must be refused, not sent as another value. None when it is no number.
std::optional<std::int64_t> exactNumber(const QString& text) {
  try {
    Util::ToInt(text);  // the application's syntax: decimal, "0x" hexadecimal, leading "-"
  } catch (const ConversionError&) {
    return std::nullopt;
  }
  bool ok = false;
  const std::int64_t value =
      text.startsWith(QLatin1String("0x")) ? text.mid(2).toLongLong(&ok, 16) : text.toLongLong(&ok, 10);
  if (!ok) return std::nullopt;
  return value;
}

/// Whether the value fits the object's data type (1 bool ... 7 u32).
bool fitsType(std::int64_t v, std::int32_t dataType) {
  switch (dataType) {
    case 1: return v == 0 || v == 1;
    case 2: return v >= -128 && v <= 127;
    case 3: return v >= -32768 && v <= 32767;
    case 4: return v >= INT32_MIN && v <= INT32_MAX;
    case 5: return v >= 0 && v <= 255;
    case 6: return v >= 0 && v <= 65535;
    case 7: return v >= 0 && v <= std::int64_t(UINT32_MAX);
    default: return true;  // the list refuses types it cannot send
  }
}

/// "0x2004:0D": how the log names an object.
QString objectLabel(const char* id, int subIndex) {
  return QStringLiteral("0x%1:%2").arg(QLatin1String(id),
                                       QString::number(subIndex, 16).toUpper().rightJustified(2, QLatin1Char('0')));
}

QString amperes(double value) { return QString::asprintf("%.2f", value); }

void setText(QLineEdit* edit, const QString& text) {
  const QSignalBlocker blocker(edit);
  edit->setText(text);
}

void setChecked(QAbstractButton* box, bool on) {
  const QSignalBlocker blocker(box);
  box->setChecked(on);
}

/// Selects the item, or none with the value shown as the list's placeholder.
void select(QComboBox* combo, int index, const QString& shownOtherwise) {
  const QSignalBlocker blocker(combo);
  const bool valid = index >= 0 && index < combo->count();
  combo->setPlaceholderText(valid ? QString() : shownOtherwise);
  combo->setCurrentIndex(valid ? index : -1);
}

void markRed(QLineEdit* edit, bool red) {
  QPalette palette = edit->palette();
  palette.setColor(QPalette::Base, red ? QColor(Qt::red) : edit->style()->standardPalette().color(QPalette::Base));
  edit->setPalette(palette);
}

/// SetBusy for as long as it lives, also when a handler ends by an exception.
class Busy {
 public:
  explicit Busy(MotorHost& host) : host_(host) { host_.SetBusy(true); }
  ~Busy() { host_.SetBusy(false); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  MotorHost& host_;
};

}  // namespace

MotorSettingsPage::MotorSettingsPage(MotorHost& host, QWidget* parent)
    : QWidget(parent), host_(host), ui(std::make_unique<Ui::MotorSettingsPage>()) {
  ui->setupUi(this);
  currents_ = {{{ui->udPhaseCurrent, ui->txtPhaseCurrent, ui->lblPCValue, ui->lblPCPeak},
                {ui->udPhaseStop, ui->txtPhaseStop, ui->lblPSValue, ui->lblPSPeak},
                {ui->udPhaseBLDC, ui->txtBLDCIMax, ui->lblBLDCPC, ui->lblBLDCPP}}};
  for (CurrentField& field : currents_) {
    field.upDown->setRange(0, kMaxPercent);
    KeyFilter::install(field.edit, KeyFilter::Unsigned);
  }
  for (QLineEdit* edit :
       {ui->txtPolepairs, ui->txtHallMode, ui->txtGearRationMSide, ui->txtGearRatioSSide, ui->txtNodeDist,
        ui->txtCascLoopFreqStart, ui->txtCascLoopFreqStop, ui->txtBLDCPeakTime, ui->txtFeedConstantNumerator,
        ui->txtFeedConstantDenumerator, ui->txtVLdimfactorNominator, ui->txtVLdimFactorDenominator})
    KeyFilter::install(edit, KeyFilter::Unsigned);
  // A "-" may be typed into the brake times: it is clamped to 0 like any value below.
  for (QLineEdit* edit :
       {ui->txtEncIndexOffset, ui->txtLoadAngle1, ui->txtLoadAngle2, ui->txtLoadAngle3, ui->txtLoadAngle4,
        ui->txtLoadAngle5, ui->txtLoadAngle6, ui->txtLoadAngle7, ui->txtBrakeTa, ui->txtBrakeTb, ui->txtBrakeTc})
    KeyFilter::install(edit, KeyFilter::Signed);
  buildObjectTable();
  connectHandlers();
  // Until a controller is known the page offers the stepper settings.
  for (QWidget* w :
       std::initializer_list<QWidget*>{ui->txtHallMode, ui->udPhaseBLDC, ui->txtBLDCIMax, ui->txtBLDCPeakTime})
    w->setEnabled(false);
}

MotorSettingsPage::~MotorSettingsPage() = default;

void MotorSettingsPage::buildObjectTable() {
  // The order in which Save writes: the motor type first, as the controller
  // interprets the motor settings by it.
  objects_ = {
      {"2004", 7, Kind::MotorType, {ui->cmbMotorType}},
      {"2006", 0, Kind::Text, {ui->txtPolepairs}},
      {"2011", 0, Kind::EncoderType, {ui->cmbEncoderType}},
      {"608F", 1, Kind::EncoderResolution, {ui->cmbEncoder}},
      {"200B", 0, Kind::Text, {ui->txtEncIndexOffset}},
      {"200D", 0, Kind::Direction, {ui->chkRevertEncDir}},
      {"6091", 1, Kind::Text, {ui->txtGearRationMSide}},
      {"6091", 2, Kind::Text, {ui->txtGearRatioSSide}},
      {"2004", 0x0C, Kind::HallMode, {ui->txtHallMode}, -1, true},
      {"200C", 1, Kind::Text, {ui->txtLoadAngle1}},
      {"200C", 2, Kind::Text, {ui->txtLoadAngle2}},
      {"200C", 3, Kind::Text, {ui->txtLoadAngle3}},
      {"200C", 4, Kind::Text, {ui->txtLoadAngle4}},
      {"200C", 5, Kind::Text, {ui->txtLoadAngle5}},
      {"200C", 6, Kind::Text, {ui->txtLoadAngle6}},
      {"200C", 7, Kind::Text, {ui->txtLoadAngle7}},
      {"2004", 8, Kind::Text, {ui->txtNodeDist}},
      {"2007", 1, Kind::Text, {ui->txtBrakeTa}},
      {"2007", 2, Kind::Text, {ui->txtBrakeTb}},
      {"2007", 3, Kind::Text, {ui->txtBrakeTc}},
      {"2004", 9, Kind::Text, {ui->txtCascLoopFreqStart}},
      {"2004", 0x0A, Kind::Text, {ui->txtCascLoopFreqStop}},
      {"607E", 0, Kind::Polarity, {ui->chkPPMode, ui->chkVelMode}},
      {"2004", 1, Kind::Current, {ui->udPhaseCurrent, ui->txtPhaseCurrent}, kPhase},
      {"2004", 2, Kind::Current, {ui->udPhaseStop, ui->txtPhaseStop}, kStop},
      {"2004", 0x0D, Kind::Current, {ui->udPhaseBLDC, ui->txtBLDCIMax}, kBldc, true},
      {"2004", 0x0E, Kind::Text, {ui->txtBLDCPeakTime}, -1, true},
      {"6092", 1, Kind::Text, {ui->txtFeedConstantNumerator}},
      {"6092", 2, Kind::Text, {ui->txtFeedConstantDenumerator}},
      {"604C", 1, Kind::Text, {ui->txtVLdimfactorNominator}},
      {"604C", 2, Kind::Text, {ui->txtVLdimFactorDenominator}},
  };
}

void MotorSettingsPage::connectHandlers() {
  connect(ui->btnMoSetRefresh, &QAbstractButton::clicked, this, guarded([this] { btnMoSetRefreshClick(); }));
  connect(ui->btnMoSetSave, &QAbstractButton::clicked, this, guarded([this] { btnMoSetSaveClick(); }));
  connect(ui->btnBrakeInfo, &QAbstractButton::clicked, this, guarded([this] { btnBrakeInfoClick(); }));
  connect(ui->cmbMotorType, &QComboBox::activated, this, guarded([this] { cmbMotorTypeChange(); }));
  connect(ui->cmbMotorSeries, &QComboBox::activated, this, guarded([this] { cmbMotorSeriesChange(); }));
  connect(ui->cmbModel, &QComboBox::activated, this, guarded([this] { cmbModelChange(); }));
  // Another wiring changes the motor's maximum current.
  connect(ui->cmbWiring, &QComboBox::activated, this, guarded([this] { cmbModelChange(); }));
  for (int i = 0; i < int(currents_.size()); ++i) {
    connect(currents_[std::size_t(i)].edit, &QLineEdit::textChanged, this, guarded([this, i] { currentEdited(i); }));
    QSpinBox* upDown = currents_[std::size_t(i)].upDown;
    connect(upDown, &QSpinBox::valueChanged, this, guarded([this, i, upDown] { upDownChanged(i, upDown->value()); }));
  }
  for (QLineEdit* edit : {ui->txtBrakeTa, ui->txtBrakeTb, ui->txtBrakeTc})
    connect(edit, &QLineEdit::textChanged, this, guarded([this, edit] { brakeTimeChanged(edit); }));

  // What the user sets is a value of the node's again, whatever was read before.
  // (objects_ is built once; its elements stay where they are.)
  for (const PageObject& object : objects_) {
    const PageObject* o = &object;
    const auto forget = [this, o] {
      for (QWidget* control : o->controls) forgetUnknown(control);
    };
    for (QWidget* control : object.controls) {
      if (auto* edit = qobject_cast<QLineEdit*>(control))
        connect(edit, &QLineEdit::textEdited, this, forget);
      else if (auto* combo = qobject_cast<QComboBox*>(control))
        connect(combo, &QComboBox::activated, this, forget);
      else if (auto* box = qobject_cast<QAbstractButton*>(control))
        connect(box, &QAbstractButton::clicked, this, forget);
    }
  }
}

// ---- Entry, loading and saving ---------------------------------------------

void MotorSettingsPage::enter() {
  StringGridSDODataSource* list = host_.sdoList();
  if (!list || host_.isClosing()) return;
  // The controller takes several of these settings only while its power stage is off.
  if (const auto status = exactNumber(list->getValue(QStringLiteral("6041"), 0, true)); status && (*status & 0x7))
    showMessageBox(QStringLiteral("Warning"),
                   QStringLiteral("To save several values on this tab the motor power has to be turned off"),
                   QMessageBox::Warning);
  if (host_.isClosing()) return;
  encoderTypeReadable_ = list->findEntry(QStringLiteral("2011"), 0) && list->readByIdValueOk(QStringLiteral("2011"), 0);
  host_.stopErrorAutoRefresh();
  refreshMotorPage(false);
  const QString model = ui->cmbModel->currentText();
  if (model.isEmpty() || model == QLatin1String("Default")) {
    chooseFirstMotor();
    // The library's defaults only choose the motor; the values are the cache's.
    refreshMotorPage(false);
  }
}

void MotorSettingsPage::btnMoSetRefreshClick() {
  StringGridSDODataSource* list = host_.sdoList();
  if (!list || host_.isClosing()) return;
  DLLConnector* connector = host_.connector();
  const bool fromNode = connector && connector->getClassName() != QLatin1String("DLLConnectorEmpty");
  showObject(objects_.front(), fromNode);  // the motor type decides which series are offered
  chooseFirstMotor();
  const Busy busy(host_);
  refreshMotorPage(fromNode);
}

void MotorSettingsPage::btnMoSetSaveClick() {
  StringGridSDODataSource* list = host_.sdoList();
  if (!list || host_.isClosing()) return;
  DLLConnector* connector = host_.connector();
  const bool toNode = connector && connector->getClassName() != QLatin1String("DLLConnectorEmpty");
  const Busy busy(host_);
  for (const PageObject& object : objects_) {
    if (host_.isClosing()) return;
    writeObject(object, toNode);
  }
}

void MotorSettingsPage::chooseFirstMotor() {
  // The node's values are shown right after: the motor's limits must not
  // correct (and box about) values that are about to be replaced.
  motorLimitsOff_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{motorLimitsOff_};
  cmbMotorTypeChange();
}

void MotorSettingsPage::refreshMotorPage(bool read) {
  unknown_.clear();
  for (const PageObject& object : objects_) {
    if (host_.isClosing()) return;
    showObject(object, read);
  }
  // The motor lists follow the type the controller holds; the library's
  // defaults are applied only when a motor is chosen.
  if (ui->cmbMotorType->currentText() != listsType_) {
    fillSeries();
    fillModels();
  }
  updateEnabled();
  updateCurrents(false);
  for (CurrentField& field : currents_) showCurrentLabels(field);
}

bool MotorSettingsPage::present(const PageObject& object) const {
  StringGridSDODataSource* list = host_.sdoList();
  return list && list->findEntry(QLatin1String(object.id), object.subIndex);
}

void MotorSettingsPage::showObject(const PageObject& object, bool read) {
  if (!present(object)) return;
  // The hall mode follows the motor type: a stepper has none.
  if (object.kind == Kind::HallMode && !bldcType()) {
    setText(ui->txtHallMode, QStringLiteral("0"));
    return;
  }
  StringGridSDODataSource* list = host_.sdoList();
  const QString value = list->getValue(QLatin1String(object.id), object.subIndex, read);
  if (read && !list->lastReadOk()) {
    if (host_.isClosing()) return;
    for (QWidget* control : object.controls) unknown_.insert(control);
    const sdoGridEntry* entry = list->findEntry(QLatin1String(object.id), object.subIndex);
    log(QStringLiteral("%1 could not be read (%2); Save leaves it as it is until it is set")
            .arg(objectLabel(object.id, object.subIndex), entry ? entry->message : QString()));
  }
  showValue(object, value);
}

void MotorSettingsPage::showValue(const PageObject& object, const QString& value) {
  const std::optional<std::int64_t> number = exactNumber(value);
  if (!number) {
    for (QWidget* control : object.controls) unknown_.insert(control);
    log(QStringLiteral("%1 holds \"%2\", which is not a number").arg(objectLabel(object.id, object.subIndex), value));
  }
  switch (object.kind) {
    case Kind::Text:
    case Kind::HallMode: setText(static_cast<QLineEdit*>(object.controls.front()), value); break;
    case Kind::MotorType: {
      const int index = !number ? -1 : *number == 0 ? 0 : *number == 1 ? 1 : 2;
      select(ui->cmbMotorType, index, value);
      if (ui->cmbMotorType->currentIndex() < 0) unknown_.insert(ui->cmbMotorType);
      break;
    }
    case Kind::EncoderType:
      select(ui->cmbEncoderType, number ? int(std::clamp<std::int64_t>(*number, -1, INT32_MAX)) : -1, value);
      if (ui->cmbEncoderType->currentIndex() < 0) unknown_.insert(ui->cmbEncoderType);
      break;
    case Kind::EncoderResolution: {
      const bool whole = number && *number % kIncrementsPerLine == 0;
      const QString lines = number ? QString::number(double(*number) / kIncrementsPerLine) : value;
      select(ui->cmbEncoder, whole ? ui->cmbEncoder->findText(lines) : -1, lines);
      if (ui->cmbEncoder->currentIndex() < 0) unknown_.insert(ui->cmbEncoder);
      break;
    }
    case Kind::Direction: setChecked(ui->chkRevertEncDir, number && (*number & 1)); break;
    case Kind::Polarity:
      setChecked(ui->chkPPMode, number && (*number & 0x80));
      setChecked(ui->chkVelMode, number && (*number & 0x40));
      break;
    case Kind::Current: {
      CurrentField& field = currents_[std::size_t(object.current)];
      if (number && *number >= 0 && *number <= kMaxPercent) {
        const QSignalBlocker blocker(field.upDown);
        field.upDown->setValue(int(*number));
        setText(field.edit, QString::number(*number));
      } else {
        // Shown as the node holds it; Save writes only a value the up-down holds.
        setText(field.edit, value);
        if (number)
          log(QStringLiteral("%1 holds %2 %, more than %3 %")
                  .arg(objectLabel(object.id, object.subIndex), value)
                  .arg(kMaxPercent));
      }
      break;
    }
  }
}

std::optional<QString> MotorSettingsPage::valueToWrite(const PageObject& object) {
  switch (object.kind) {
    case Kind::Text:
    case Kind::HallMode: return static_cast<QLineEdit*>(object.controls.front())->text();
    case Kind::MotorType: {
      const int index = ui->cmbMotorType->currentIndex();
      if (index < 0) return std::nullopt;
      const QString type = ui->cmbMotorType->currentText();
      return QString::number(type == QLatin1String("Stepmotor") ? 0 : type == kBldcText ? 1 : 2);
    }
    case Kind::EncoderType:
      if (ui->cmbEncoderType->currentIndex() < 0) return std::nullopt;
      return QString::number(ui->cmbEncoderType->currentIndex());
    case Kind::EncoderResolution: {
      if (ui->cmbEncoder->currentIndex() < 0) return std::nullopt;
      return QString::number(Util::ToInt(ui->cmbEncoder->currentText()) * kIncrementsPerLine);
    }
    case Kind::Direction: return QString::number(ui->chkRevertEncDir->isChecked() ? 1 : 0);
    case Kind::Polarity:
      return QString::number((ui->chkPPMode->isChecked() ? 0x80 : 0) | (ui->chkVelMode->isChecked() ? 0x40 : 0));
    case Kind::Current: {
      // A typed value above the motor's limit stays in the edit (red) and is
      // not taken over: only what the up-down holds and the edit shows is sent.
      const CurrentField& field = currents_[std::size_t(object.current)];
      const QString position = QString::number(std::int16_t(field.upDown->value()));
      if (field.edit->text() != position) return std::nullopt;
      return position;
    }
  }
  return std::nullopt;
}

void MotorSettingsPage::writeObject(const PageObject& object, bool toNode) {
  if (!present(object)) return;
  // (isEnabled would also be false while the window is busy with this very Save.)
  if (object.kind == Kind::HallMode && !ui->txtHallMode->isEnabledTo(this)) return;
  const QString name = objectLabel(object.id, object.subIndex);
  for (QWidget* control : object.controls) {
    if (unknown_.contains(control)) {
      log(QStringLiteral("%1 not written: the page shows no value of the controller for it").arg(name));
      return;
    }
  }
  const std::optional<QString> text = valueToWrite(object);
  if (!text) {
    log(QStringLiteral("%1 not written: the page shows no valid value for it").arg(name));
    return;
  }
  StringGridSDODataSource* list = host_.sdoList();
  sdoGridEntry* entry = list->findEntry(QLatin1String(object.id), object.subIndex);
  const std::optional<std::int64_t> number = exactNumber(*text);
  if (!number || !fitsType(*number, entry->definition->dataType)) {
    log(QStringLiteral("%1 not written: \"%2\" is no value of this object").arg(name, *text));
    return;
  }
  bool ok = false;
  try {
    ok = list->setValue(QLatin1String(object.id), object.subIndex, *text, toNode);
  } catch (const ConversionError& e) {
    log(QStringLiteral("%1 not written: %2").arg(name, e.text()));
    return;
  }
  if (ok || host_.isClosing()) return;
  log(QStringLiteral("Writing %1 failed: %2").arg(name, entry->message));
  // The controller kept its value: show that one again.
  showObject(object, true);
  if (object.kind == Kind::Current) showCurrentLabels(currents_[std::size_t(object.current)]);
}

bool MotorSettingsPage::bldcType() const { return ui->cmbMotorType->currentText().contains(kBldcText); }

void MotorSettingsPage::updateEnabled() {
  const bool bldc = bldcType();
  for (const PageObject& object : objects_) {
    bool on = present(object);
    if (object.bldcOnly) on = on && bldc;
    if (object.kind == Kind::EncoderType) on = on && encoderTypeReadable_;
    for (QWidget* control : object.controls) control->setEnabled(on);
  }
  if (!bldc) setText(ui->txtHallMode, QStringLiteral("0"));
  // A BLDC motor is always wired in parallel; a motor with few windings has one wiring.
  if (bldc) {
    const QSignalBlocker blocker(ui->cmbWiring);
    ui->cmbWiring->setCurrentText(kParallel);
  }
  const motor* m = host_.motorLib().getMotor(ui->cmbMotorType->currentText(), ui->cmbMotorSeries->currentText(),
                                             ui->cmbModel->currentText());
  ui->cmbWiring->setEnabled(!bldc && (!m || m->Windings >= kMinWindingsForWiring));
}

void MotorSettingsPage::setBldcTypes(bool bldc) {
  const QSignalBlocker blocker(ui->cmbMotorType);
  if (bldc && ui->cmbMotorType->count() == 1)
    ui->cmbMotorType->addItems({kBldcText, QStringLiteral("BLDC with Encoder")});
  if (!bldc)
    while (ui->cmbMotorType->count() > 1) ui->cmbMotorType->removeItem(ui->cmbMotorType->count() - 1);
}

void MotorSettingsPage::librariesLoaded() {
  // Only the lists: the motor's defaults are applied when the user or the
  // page entry chooses a motor.
  fillSeries();
  fillModels();
}

// ---- Motor choice -----------------------------------------------------------

void MotorSettingsPage::fillSeries() {
  const QSignalBlocker blocker(ui->cmbMotorSeries);
  ui->cmbMotorSeries->clear();
  listsType_ = ui->cmbMotorType->currentText();
  ui->cmbMotorSeries->addItems(host_.motorLib().getSeries(ui->cmbMotorType->currentText()));
  if (ui->cmbMotorSeries->count()) ui->cmbMotorSeries->setCurrentIndex(0);
}

void MotorSettingsPage::fillModels() {
  const QSignalBlocker blocker(ui->cmbModel);
  ui->cmbModel->clear();
  ui->cmbModel->addItems(
      host_.motorLib().getModels(ui->cmbMotorType->currentText(), ui->cmbMotorSeries->currentText()));
  if (ui->cmbModel->count()) ui->cmbModel->setCurrentIndex(0);
}

void MotorSettingsPage::cmbMotorTypeChange() {
  // A BLDC motor is always wired in parallel; set before the model's current is shown.
  if (bldcType()) {
    const QSignalBlocker blocker(ui->cmbWiring);
    ui->cmbWiring->setCurrentText(kParallel);
  }
  {
    const QSignalBlocker blocker(ui->cmbModel);
    ui->cmbModel->clear();
  }
  fillSeries();
  cmbMotorSeriesChange();
  updateEnabled();
}

void MotorSettingsPage::cmbMotorSeriesChange() {
  fillModels();
  cmbModelChange();
}

void MotorSettingsPage::cmbModelChange() {
  const motor* m = host_.motorLib().getMotor(ui->cmbMotorType->currentText(), ui->cmbMotorSeries->currentText(),
                                             ui->cmbModel->currentText());
  // Without a motor the page keeps the controller's values.
  if (!m) return;
  if (bldcType()) setText(ui->txtHallMode, m->StepAngle);
  ui->cmbWiring->setEnabled(!bldcType() && m->Windings >= kMinWindingsForWiring);
  if (m->Windings < kMinWindingsForWiring) {
    ui->lblMotorMaxCurrent->setText(QString::number(m->MaxCurrent));
  } else {
    const double factor = ui->cmbWiring->currentText() == kSerial ? 1 / std::sqrt(2.0) : std::sqrt(2.0);
    ui->lblMotorMaxCurrent->setText(amperes(m->MaxCurrent * factor));
  }
  setText(ui->txtPolepairs, QString::number(m->Polepairs));
  QLineEdit* const loadAngles[] = {ui->txtLoadAngle1, ui->txtLoadAngle2, ui->txtLoadAngle3, ui->txtLoadAngle4,
                                   ui->txtLoadAngle5, ui->txtLoadAngle6, ui->txtLoadAngle7};
  for (std::size_t k = 0; k < 7; ++k) {
    setText(loadAngles[k], QString::number(m->LoadAngle[k]));
    forgetUnknown(loadAngles[k]);
  }
  setText(ui->txtNodeDist, QString::number(m->NodeDistance));
  for (QWidget* w : std::initializer_list<QWidget*>{ui->txtPolepairs, ui->txtNodeDist, ui->txtHallMode})
    forgetUnknown(w);
  applyMotorLimits();
}

// ---- Currents ---------------------------------------------------------------

double MotorSettingsPage::ratedCurrent() {
  const device* d = host_.currentDevice();
  return d ? d->MaxMotorCurrent : 0.0;
}

double MotorSettingsPage::motorMaxCurrent() const {
  QString text = ui->lblMotorMaxCurrent->text();
  text.replace(QLatin1Char(','), QLatin1Char('.'));
  bool ok = false;
  const double value = text.toDouble(&ok);
  return ok ? value : 0.0;
}

std::optional<int> MotorSettingsPage::percentLimit() {
  // A motor maximum of 0 means no motor is known: no limit. So does a
  // controller without a rated current (the percentages have no amperes then).
  const double m = motorMaxCurrent();
  const double r = ratedCurrent();
  if (m <= 0 || r <= 0) return std::nullopt;
  return int(m * 100 / r);
}

void MotorSettingsPage::setCurrent(CurrentField& field, int percent) {
  {
    const QSignalBlocker blocker(field.upDown);
    field.upDown->setValue(percent);
  }
  setText(field.edit, QString::number(percent));
  forgetUnknown(field.edit);
  forgetUnknown(field.upDown);
  markCurrent(field);
  showCurrentLabels(field);
}

void MotorSettingsPage::markCurrent(CurrentField& field) {
  const std::optional<std::int64_t> value = exactNumber(field.edit->text());
  const std::optional<int> limit = percentLimit();
  markRed(field.edit, value && limit && *value > *limit);
}

void MotorSettingsPage::showCurrentLabels(CurrentField& field) {
  if (!host_.adapterConnected()) return;
  const double r = ratedCurrent();
  field.peak->setText(amperes(r * 1.5));
  field.value->setText(amperes(field.upDown->value() * 0.01 * r));
}

void MotorSettingsPage::applyMotorLimits() {
  if (motorLimitsOff_) return;
  const std::optional<int> limit = percentLimit();
  if (limit) {
    bool changed = false;
    updatingCurrents_ = true;
    for (CurrentField* field : {&currents_[kPhase], &currents_[kStop]}) {
      if (field->upDown->value() > *limit) {
        field->edit->setText(QString::number(*limit));
        changed = true;
      }
    }
    updatingCurrents_ = false;
    if (changed)
      showMessageBox(QStringLiteral("Value Error"),
                     QStringLiteral("Error: The given value is higher than the motor max value. Fixing value!"),
                     QMessageBox::Warning);
  }
  updateCurrents(true);
  currentEdited(kStop);
}

void MotorSettingsPage::updateCurrents(bool fix) {
  if (!host_.adapterConnected() || updatingCurrents_) return;
  updatingCurrents_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{updatingCurrents_};
  showCurrentLabels(currents_[kPhase]);
  showCurrentLabels(currents_[kBldc]);
  const std::optional<int> limit = percentLimit();
  // Values read from the controller are shown as they are (red above the
  // motor's limit); only a choice of the user is corrected.
  if (fix && limit) {
    if (currents_[kPhase].upDown->value() > *limit) {
      showMessageBox(QStringLiteral("Value Error"),
                     QStringLiteral("Error: The given Current Value is Higher than the motor max value. Fixing Value!"),
                     QMessageBox::Warning);
      setCurrent(currents_[kPhase], *limit);
    }
    if (currents_[kBldc].upDown->isEnabledTo(this) && currents_[kBldc].upDown->value() > *limit) {
      showMessageBox(QStringLiteral("Value Error"),
                     QStringLiteral("Error: The given BLDC Value is Higher than the motor max value"));
      setCurrent(currents_[kBldc], *limit);
    }
  }
  for (CurrentField& field : currents_) markCurrent(field);
}

void MotorSettingsPage::currentEdited(int index) {
  CurrentField& field = currents_[std::size_t(index)];
  const QString text = field.edit->text();
  if (text.isEmpty()) return;
  const std::optional<std::int64_t> value = exactNumber(text);
  if (!value || *value < 0) return;  // Save refuses what is no percentage
  if (*value > kMaxPercent) {
    field.edit->setText(QString::number(kMaxPercent));  // runs this handler again
    return;
  }
  const std::optional<int> limit = percentLimit();
  if (index == kBldc) {
    if (text != QString::number(*value)) {
      field.edit->setText(QString::number(*value));
      return;
    }
    if (limit && *value > *limit) {
      field.edit->setText(QString::number(*limit));
      return;
    }
  } else if (limit && *value > *limit) {
    markRed(field.edit, true);  // not taken over: the up-down keeps the last valid value
    return;
  }
  markRed(field.edit, false);
  field.upDown->setValue(int(*value));
  showCurrentLabels(field);
}

void MotorSettingsPage::upDownChanged(int index, int position) {
  CurrentField& field = currents_[std::size_t(index)];
  // The arrows stop at the motor's limit, as typing does.
  const std::optional<int> limit = percentLimit();
  if (limit && position > *limit) {
    field.upDown->setValue(*limit);  // runs this handler again
    return;
  }
  if (field.edit->text() != QString::number(position)) setText(field.edit, QString::number(position));
  forgetUnknown(field.edit);
  forgetUnknown(field.upDown);
  markRed(field.edit, false);
  showCurrentLabels(field);
}

// ---- Brake ------------------------------------------------------------------

void MotorSettingsPage::brakeTimeChanged(QLineEdit* edit) {
  // Half-typed texts ("", "-") are left alone: Save refuses what is no number.
  const std::optional<std::int64_t> value = exactNumber(edit->text());
  if (!value) return;
  const std::int64_t clamped = std::clamp<std::int64_t>(*value, 0, kBrakeTimeMax);
  if (clamped != *value || edit->text() != QString::number(clamped)) setText(edit, QString::number(clamped));
}

void MotorSettingsPage::btnBrakeInfoClick() {
  if (!brakeInfo_) brakeInfo_ = new TfrmBrakeInfo(window());
  brakeInfo_->show();
  brakeInfo_->raise();
  brakeInfo_->activateWindow();
}

void MotorSettingsPage::log(const QString& text) { Logging::instance().log(text); }
