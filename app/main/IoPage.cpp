#include "IoPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHideEvent>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>
#include <optional>

#include "AutoRefresh.h"
#include "DLLConnector.h"
#include "InputFilters.h"
#include "MainFormScopes.h"
#include "MessageBoxService.h"
#include "RefreshReader.h"
#include "StringGridPDOReceivedDataSource.h"
#include "StringGridSDODataSource.h"
#include "Util.h"
#include "ui_IoPage.h"

namespace {

/// Input or output k (from 1) is bit 15 + k of its object.
constexpr std::uint32_t bitOf(int k) { return 0x10000u << (k - 1); }
/// The output bits the page shows (outputs 1 to 3).
constexpr std::uint32_t kOutputBits = bitOf(1) | bitOf(2) | bitOf(3);
/// The analog values are 10 bits wide.
constexpr std::uint32_t kAnalogBits = 0x3FF;
constexpr int kAnalogMax = 1023;
/// The sub-index 0 of 0x6401 counts the inputs, at most 254 by the object's layout.
constexpr int kMaxAnalogInputs = 254;
constexpr int kDebounceMax = 255;

/// The text as a number by the application's rules; nullopt when it is none.
std::optional<std::int32_t> toNumber(const QString& text) {
  try {
    return Util::ToInt(text);
  } catch (const ConversionError&) {
    return std::nullopt;
  }
}

/// Sets a box the node's state decides, without running the handlers of a click.
void display(QCheckBox* box, bool on) {
  const QSignalBlocker blocker(box);
  box->setChecked(on);
}

/// Sets a field from the node, without running its change handler.
void display(QLineEdit* field, const QString& text) {
  const QSignalBlocker blocker(field);
  field->setText(text);
}

/// Marks a refresh as running for as long as it lives.
class Running {
 public:
  explicit Running(bool& flag) : flag_(flag) { flag_ = true; }
  ~Running() { flag_ = false; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  bool& flag_;
};

}  // namespace

IoPage::IoPage(TMainForm& form, QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::IoPage>()), form_(form) {
  ui->setupUi(this);
  inputs_ = {ui->chkDigiIn1, ui->chkDigiIn2, ui->chkDigiIn3, ui->chkDigiIn4, ui->chkDigiIn5, ui->chkDigiIn6};
  outputs_ = {ui->chkDigiOut1, ui->chkDigiOut2, ui->chkDigiOut3};
  masks_ = {ui->chkDigiOutMask1, ui->chkDigiOutMask2, ui->chkDigiOutMask3};
  // The input boxes show the node's inputs: a click must not change them.
  for (QCheckBox* box : inputs_) box->setAttribute(Qt::WA_TransparentForMouseEvents);

  KeyFilter::install(ui->txtDebounceTime, KeyFilter::Unsigned);
  KeyFilter::install(ui->txtAnaIOMaxVal, KeyFilter::Signed);
  KeyFilter::install(ui->txtAnaIOMinVal, KeyFilter::Signed);
  for (QLineEdit* field : {ui->txtAnaIODelta, ui->txtAnaIODeltaNeg, ui->txtAnaIODeltaPos})
    KeyFilter::install(field, KeyFilter::Unsigned);

  connect(ui->btnRefreshDigiIn, &QAbstractButton::clicked, this, &IoPage::btnRefreshDigiInClick);
  connect(ui->btnDigiInSetValue, &QAbstractButton::clicked, this, &IoPage::btnDigiInSetValueClick);
  // Refreshes set the fields with their signals blocked: only edits get here.
  connect(ui->txtDebounceTime, &QLineEdit::textChanged, this, &IoPage::txtDebounceTimeChange);
  for (int k = 1; k <= 3; ++k) {
    connect(outputs_[std::size_t(k - 1)], &QAbstractButton::clicked, this, [this, k] { chkDigiOutClick(k); });
    connect(masks_[std::size_t(k - 1)], &QAbstractButton::clicked, this, [this, k] { chkDigiOutMaskClick(k); });
  }
  connect(ui->btnDigiOutSetValues, &QAbstractButton::clicked, this, &IoPage::btnDigiOutSetValuesClick);
  connect(ui->btnDigiOutRefresh, &QAbstractButton::clicked, this, &IoPage::btnDigiOutRefreshClick);
  connect(ui->cmbAIONumber, qOverload<int>(&QComboBox::activated), this, [this] { RefreshAnalogInput(); });
  connect(ui->btnRefreshAnalogValue, &QAbstractButton::clicked, this, &IoPage::btnRefreshAnalogValueClick);
  connect(ui->chkGlblIntEnable, &QAbstractButton::clicked, this, &IoPage::chkGlblIntEnableClick);
  connect(ui->btnSetAnalogSettings, &QAbstractButton::clicked, this, &IoPage::btnSetAnalogSettingsClick);
  for (QLineEdit* field :
       {ui->txtAnaIOMaxVal, ui->txtAnaIOMinVal, ui->txtAnaIODelta, ui->txtAnaIODeltaNeg, ui->txtAnaIODeltaPos})
    connect(field, &QLineEdit::textChanged, this, [this, field] { analogFieldChange(field); });
  for (QCheckBox* box : {ui->chkDigiInAutoRefresh, ui->chkDigiOutAutoRefresh, ui->chkAnalogIORefreshValue})
    connect(box, &QCheckBox::toggled, this, &IoPage::autoRefreshClick);
  // The velocity page's current speed shares the timer; each page runs its own refreshes on a tick.
  if (QTimer* timer = form_.ioRefreshTimer()) connect(timer, &QTimer::timeout, this, &IoPage::tmrIORefreshTimerTimer);
}

IoPage::~IoPage() = default;

bool IoPage::busy() const {
  DLLConnector* connector = form_.connector();
  return refreshing_ || !form_.sdoList() || !connector || connector->isQueryPending();
}

void IoPage::hideEvent(QHideEvent* event) {
  // Another page is shown: nobody sees the values any more.
  if (!event->spontaneous()) stopAutoRefresh();
  QWidget::hideEvent(event);
}

void IoPage::stopAutoRefresh() {
  for (QCheckBox* box : {ui->chkDigiInAutoRefresh, ui->chkDigiOutAutoRefresh, ui->chkAnalogIORefreshValue})
    box->setChecked(false);
}

// ---------------------------------------------------------------------------
// Refreshes.

bool IoPage::RefreshIO() {
  // A group that failed leaves the others alone: their reads would fail too.
  return RefreshDigitalInputs() && RefreshDigitalOutputs() && RefreshAnalogInput();
}

bool IoPage::RefreshDigitalInputs() {
  StringGridSDODataSource* list = form_.sdoList();
  if (!list) return true;
  Running running(refreshing_);
  RefreshReader read(*list);
  if (const auto inputs = read.numberOr(QStringLiteral("60FD"), 0, 0)) {
    for (int k = 1; k <= 6; ++k) display(inputs_[std::size_t(k - 1)], std::uint32_t(*inputs) & bitOf(k));
  }
  if (const auto debounce = read.text(QStringLiteral("2008"), 0)) display(ui->txtDebounceTime, *debounce);
  return !read.failed();
}

bool IoPage::RefreshDigitalOutputs() {
  StringGridSDODataSource* list = form_.sdoList();
  if (!list) return true;
  Running running(refreshing_);
  RefreshReader read(*list);
  if (const auto outputs = read.numberOr(QStringLiteral("60FE"), 1, 0)) {
    for (int k = 1; k <= 3; ++k) display(outputs_[std::size_t(k - 1)], std::uint32_t(*outputs) & bitOf(k));
  }
  if (const auto mask = read.numberOr(QStringLiteral("60FE"), 2, 0)) {
    for (int k = 1; k <= 3; ++k) {
      const bool firmwareUsed = std::uint32_t(*mask) & bitOf(k);
      display(masks_[std::size_t(k - 1)], firmwareUsed);
      outputs_[std::size_t(k - 1)]->setEnabled(!firmwareUsed);
    }
  }
  return !read.failed();
}

int IoPage::analogInputCount() const {
  StringGridSDODataSource* list = form_.sdoList();
  const int count = list ? Util::ToIntDef(list->getValue(QStringLiteral("6401"), 0, false), 1) : 1;
  return std::clamp(count, 1, kMaxAnalogInputs);
}

int IoPage::selectedInput() const {
  // A choice the node does not have (another controller, fewer inputs) becomes its last input.
  return std::clamp(Util::ToIntDef(ui->cmbAIONumber->currentText(), 1), 1, analogInputCount());
}

bool IoPage::RefreshAnalogInput() {
  StringGridSDODataSource* list = form_.sdoList();
  if (!list) return true;
  Running running(refreshing_);
  RefreshReader read(*list);
  const int count = analogInputCount();
  const int input = selectedInput();
  {
    const QSignalBlocker blocker(ui->cmbAIONumber);
    ui->cmbAIONumber->clear();
    for (int i = 1; i <= count; ++i) ui->cmbAIONumber->addItem(QString::number(i));
    ui->cmbAIONumber->setCurrentIndex(input - 1);
  }
  if (const auto value = read.text(QStringLiteral("6401"), input)) ui->lblAnalogCurrentValue->setText(*value);
  if (const auto enable = read.number(QStringLiteral("6423"), 0)) display(ui->chkGlblIntEnable, *enable & 1);
  const std::pair<QLineEdit*, const char*> settings[] = {{ui->txtAnaIOMaxVal, "6424"},
                                                         {ui->txtAnaIOMinVal, "6425"},
                                                         {ui->txtAnaIODelta, "6426"},
                                                         {ui->txtAnaIODeltaNeg, "6427"},
                                                         {ui->txtAnaIODeltaPos, "6428"}};
  for (const auto& [field, id] : settings) {
    if (const auto value = read.numberOr(QLatin1String(id), input, 0))
      display(field, QString::number(std::uint32_t(*value) & kAnalogBits));
  }
  return !read.failed();
}

void IoPage::tmrIORefreshTimerTimer() {
  QTimer* timer = form_.ioRefreshTimer();
  if (form_.isClosing() || !timer) return;
  bool failed = false;
  if (!failed && !busy() && ui->chkDigiInAutoRefresh->isChecked()) failed = !RefreshDigitalInputs();
  if (!failed && !busy() && ui->chkDigiOutAutoRefresh->isChecked()) failed = !RefreshDigitalOutputs();
  if (!failed && !busy() && ui->chkAnalogIORefreshValue->isChecked()) failed = !RefreshAnalogInput();
  auto_refresh::endTick(timer, window(), failed);
}

void IoPage::autoRefreshClick(bool checked) {
  // Unticking leaves the timer to the tick, which knows whether another box needs it.
  QTimer* timer = form_.ioRefreshTimer();
  if (checked && timer && !timer->isActive()) timer->start();
}

// ---------------------------------------------------------------------------
// Digital inputs.

void IoPage::btnRefreshDigiInClick() {
  if (busy()) return;
  BusyScope scope(&form_);
  RefreshIO();
}

void IoPage::txtDebounceTimeChange() {
  const QString text = ui->txtDebounceTime->text();
  // An empty or half-typed field stays as it is: "Set Value" takes only a number.
  const auto value = toNumber(text);
  if (value && *value > kDebounceMax) display(ui->txtDebounceTime, QString::number(kDebounceMax));
  ui->chkDigiInAutoRefresh->setChecked(false);
}

void IoPage::btnDigiInSetValueClick() {
  StringGridSDODataSource* list = form_.sdoList();
  const auto value = toNumber(ui->txtDebounceTime->text());
  if (!list || !value || *value < 0 || *value > kDebounceMax) return;
  list->setValue(QStringLiteral("2008"), 0, QString::number(*value), true);
}

// ---------------------------------------------------------------------------
// Digital outputs.

QString IoPage::keepUnshownBits(const QString& listValue, std::uint32_t shownMask, std::uint32_t shown) {
  std::uint32_t value = shown & shownMask;
  bool isSigned = false;
  try {
    value |= Util::ToUInt32(listValue) & ~shownMask;
    isSigned = listValue.startsWith(QLatin1Char('-'));
  } catch (const ConversionError&) {
    // The list holds no number: the page's bits are all there is to write.
  }
  return isSigned ? QString::number(std::int32_t(value)) : QString::number(value);
}

void IoPage::chkDigiOutClick(int output) {
  StringGridSDODataSource* list = form_.sdoList();
  if (!list || !ui->chkDigiOutAutoSet->isChecked()) return;
  const bool on = outputs_[std::size_t(output - 1)]->isChecked();
  const QString outputs = list->getValue(QStringLiteral("60FE"), 1, false);
  const std::uint32_t current = std::uint32_t(Util::ToIntDef(outputs, 0));
  const std::uint32_t wanted = on ? current | bitOf(output) : current & ~bitOf(output);
  list->setValue(QStringLiteral("60FE"), 1, keepUnshownBits(outputs, kOutputBits, wanted), true);
}

void IoPage::chkDigiOutMaskClick(int output) {
  const bool firmwareUsed = masks_[std::size_t(output - 1)]->isChecked();
  outputs_[std::size_t(output - 1)]->setEnabled(!firmwareUsed);
  StringGridSDODataSource* list = form_.sdoList();
  if (!list || !ui->chkDigiOutAutoSet->isChecked()) return;
  const QString mask = list->getValue(QStringLiteral("60FE"), 2, false);
  const std::uint32_t current = std::uint32_t(Util::ToIntDef(mask, 0));
  const std::uint32_t wanted = firmwareUsed ? current | bitOf(output) : current & ~bitOf(output);
  list->setValue(QStringLiteral("60FE"), 2, keepUnshownBits(mask, kOutputBits, wanted), true);
}

void IoPage::btnDigiOutSetValuesClick() {
  StringGridSDODataSource* list = form_.sdoList();
  if (!list) return;
  std::uint32_t outputs = 0;
  std::uint32_t mask = 0;
  for (int k = 1; k <= 3; ++k) {
    if (outputs_[std::size_t(k - 1)]->isChecked()) outputs |= bitOf(k);
    if (masks_[std::size_t(k - 1)]->isChecked()) mask |= bitOf(k);
  }
  // Outputs beyond the three shown keep what the node has.
  list->setValue(QStringLiteral("60FE"), 1,
                 keepUnshownBits(list->getValue(QStringLiteral("60FE"), 1, false), kOutputBits, outputs), true);
  list->setValue(QStringLiteral("60FE"), 2,
                 keepUnshownBits(list->getValue(QStringLiteral("60FE"), 2, false), kOutputBits, mask), true);
}

void IoPage::btnDigiOutRefreshClick() {
  if (!busy()) RefreshDigitalOutputs();
}

// ---------------------------------------------------------------------------
// Analog input.

void IoPage::btnRefreshAnalogValueClick() {
  if (!busy()) RefreshAnalogInput();
}

void IoPage::analogFieldChange(QLineEdit* field) {
  const int value = Util::ToIntDef(field->text(), 0);
  if (value < 0) display(field, QStringLiteral("0"));
  if (value > kAnalogMax) display(field, QString::number(kAnalogMax));
  ui->chkAnalogIORefreshValue->setChecked(false);
}

void IoPage::chkGlblIntEnableClick() {
  ui->chkAnalogIORefreshValue->setChecked(false);
  if (!ui->chkGlblIntEnable->isChecked()) return;
  const StringGridPDOReceivedDataSource* pdoView = form_.pdoView();
  if (!pdoView || !pdoView->isObjectMapped(QStringLiteral("6401"), 1))
    showMessageBox(QStringLiteral("Notification"),
                   QStringLiteral("Global Interrupt enable requires object 0x6401 sub-id 1 to be mapped as PDO"),
                   QMessageBox::Warning);
  if (form_.panelText(4) == QLatin1String("Drivestate: Pre Operational"))
    showMessageBox(QStringLiteral("Warning"),
                   QStringLiteral("You have to be in state Operational. Otherwise you won't receive a PDO"),
                   QMessageBox::Warning);
}

void IoPage::btnSetAnalogSettingsClick() {
  StringGridSDODataSource* list = form_.sdoList();
  if (!list) return;
  const int input = selectedInput();
  list->setValue(
      QStringLiteral("6423"), 0,
      keepUnshownBits(list->getValue(QStringLiteral("6423"), 0, false), 1, ui->chkGlblIntEnable->isChecked() ? 1 : 0),
      true);
  const std::pair<QLineEdit*, const char*> settings[] = {{ui->txtAnaIOMaxVal, "6424"},
                                                         {ui->txtAnaIOMinVal, "6425"},
                                                         {ui->txtAnaIODelta, "6426"},
                                                         {ui->txtAnaIODeltaNeg, "6427"},
                                                         {ui->txtAnaIODeltaPos, "6428"}};
  for (const auto& [field, id] : settings) {
    const QString objectId = QLatin1String(id);
    const std::uint32_t shown = std::uint32_t(std::clamp(Util::ToIntDef(field->text(), 0), 0, kAnalogMax));
    list->setValue(objectId, input, keepUnshownBits(list->getValue(objectId, input, false), kAnalogBits, shown), true);
  }
}
