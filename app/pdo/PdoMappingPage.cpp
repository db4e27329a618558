#include "PdoMappingPage.h"

#include "GuardedHandler.h"

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <exception>
#include <vector>

#include "InputFilters.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "PdoConfigFile.h"
#include "RoutingMessageFilter.h"
#include "StringGridPDOReceivedDataSource.h"
#include "StringGridSDODataSource.h"
#include "TfrmLoadPDOConfig.h"
#include "TfrmSavePDOConfig.h"
#include "Util.h"
#include "canopen/Cia301.h"
#include "ui_PdoMappingPage.h"

namespace {

namespace co = kestrum::canopen;

const QString kEmptySlot = QStringLiteral("0x0000 0x00 0 none");
const char* const kFixedRows[] = {"0x0000 0x00 0 none",           "0x0002 0x00 0 Dummy Type s8",
                                  "0x0003 0x00 0 Dummy Type s16", "0x0004 0x00 0 Dummy Type s32",
                                  "0x0005 0x00 0 Dummy Type u8",  "0x0006 0x00 0 Dummy Type u16",
                                  "0x0007 0x00 0 Dummy Type u32"};
constexpr std::uint16_t kFirstDummy = 0x0002;
constexpr std::uint16_t kLastDummy = 0x0007;

bool isDummy(std::uint32_t index) { return index >= kFirstDummy && index <= kLastDummy; }

/// A cached 32-bit value; a text that does not convert reads as 0 (the
/// cache holds what the node sent or what was written, so this is rare).
std::uint32_t cachedU32(const QString& text) {
  try {
    return Util::ToUInt32(text);
  } catch (const ConversionError&) {
    return 0;
  }
}


}  // namespace

PdoMappingPage::PdoMappingPage(std::unique_ptr<PdoHost> host, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::PdoMappingPage>()), host_(std::move(host)) {
  ui->setupUi(this);
  slots_ = {ui->ComboBoxPdoObject1, ui->ComboBoxPdoObject2, ui->ComboBoxPdoObject3, ui->ComboBoxPdoObject4,
            ui->ComboBoxPdoObject5, ui->ComboBoxPdoObject6, ui->ComboBoxPdoObject7, ui->ComboBoxPdoObject8};
  ui->ComboBoxPdoTransmissionType->setCurrentIndex(2);
  KeyFilter::install(ui->EditPdoCob, KeyFilter::Hex);
  KeyFilter::install(ui->EditPdoInhibitTime, KeyFilter::Signed);
  KeyFilter::install(ui->EditPdoEventTime, KeyFilter::Signed);
  KeyFilter::install(ui->ComboBoxPdoTransmissionType->lineEdit(), KeyFilter::Unsigned);

  runLoadWindow = [](TfrmLoadPDOConfig& window) { return window.exec(); };
  saveWindow_ = new TfrmSavePDOConfig(*host_, this);
  loadWindow_ = new TfrmLoadPDOConfig(*host_, this);

  connect(ui->ButtonPdoRead, &QPushButton::clicked, this, guarded([this] { ButtonPdoReadClick(); }));
  connect(ui->ButtonPdoWrite, &QPushButton::clicked, this, guarded([this] { ButtonPdoWriteClick(); }));
  connect(ui->btnSavePDOConfig, &QPushButton::clicked, this, guarded([this] { btnSavePDOConfigClick(); }));
  connect(ui->btnLoadPDOConfig, &QPushButton::clicked, this, guarded([this] { btnLoadPDOConfigClick(); }));
  connect(ui->rdoTxPDO, &QRadioButton::clicked, this, guarded([this] { directionClicked(); }));
  connect(ui->rdoRxPDO, &QRadioButton::clicked, this, guarded([this] { directionClicked(); }));
  connect(ui->ComboBoxPdoNumber, qOverload<int>(&QComboBox::currentIndexChanged), this,
          guarded([this] { ButtonPdoReadClick(); }));
  connect(ui->RadioButtonPdoCobDec, &QRadioButton::clicked, this, guarded([this] { cobBaseClicked(false); }));
  connect(ui->RadioButtonPdoCobHex, &QRadioButton::clicked, this, guarded([this] { cobBaseClicked(true); }));
  connect(ui->ComboBoxPdoTransmissionType, &QComboBox::currentTextChanged, this,
          guarded([this] { transmissionTypeChanged(); }));
  for (QComboBox* slot : slots_)
    connect(slot, &QComboBox::currentTextChanged, this, guarded([this] { checkPdoSlots(); }));
}

PdoMappingPage::~PdoMappingPage() = default;

PdoMappingPage* PdoMappingPage::insertInto(QWidget* placeholder, std::unique_ptr<PdoHost> host) {
  auto* page = new PdoMappingPage(std::move(host), placeholder);
  auto* layout = new QVBoxLayout(placeholder);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(page);
  return page;
}

bool PdoMappingPage::transmit() const { return ui->rdoTxPDO->isChecked(); }

int PdoMappingPage::pdoNumber() const { return ui->ComboBoxPdoNumber->currentIndex() + 1; }

std::uint16_t PdoMappingPage::communicationIndex() const {
  return transmit() ? co::pdo::tpdoCommunication(pdoNumber()) : co::pdo::rpdoCommunication(pdoNumber());
}

QString PdoMappingPage::typeName(int bits, bool isSigned) {
  if (bits == 8 || bits == 16 || bits == 32)
    return (isSigned ? QLatin1Char('s') : QLatin1Char('u')) + QString::number(bits);
  return QString::number(bits);
}

int PdoMappingPage::widthOf(std::uint16_t index, std::uint8_t sub) const {
  // The dummy indices are the data-type codes whose width they stand for.
  if (isDummy(index)) return StringGridPDOReceivedDataSource::widthOf(index);
  StringGridSDODataSource* list = host_->sdoList();
  const sdoGridEntry* entry = list ? list->findEntry(pdofile::indexText(index), sub) : nullptr;
  return entry && entry->definition ? StringGridPDOReceivedDataSource::widthOf(entry->definition->dataType) : 0;
}

PdoMappingPage::SlotObject PdoMappingPage::slotObject(const QString& text) const {
  // By character position: "0xIIII 0xSS ...", index digits at 3 to 6,
  // "0x" and the subindex digits at 8 to 11.
  SlotObject object;
  bool ok = false;
  const std::uint32_t index = text.mid(2, 4).toUInt(&ok, 16);
  if (!ok) return object;
  const std::int32_t sub = Util::ToIntDef(text.mid(7, 4), 0);
  object.index = std::uint16_t(index);
  object.sub = std::uint8_t(sub);
  object.width = widthOf(object.index, object.sub);
  return object;
}

QStringList PdoMappingPage::objectListItems(bool transmitList) const {
  QStringList items;
  for (const char* row : kFixedRows) items << QLatin1String(row);
  StringGridSDODataSource* list = host_->sdoList();
  if (!list) return items;
  for (const sdoGridEntry* entry : list->mappableEntries()) {
    const sdoDataDefinition* d = entry->definition;
    if (!d || (!transmitList && !d->isWritable())) continue;
    items << QStringLiteral("0x%1 0x%2 %3")
                 .arg(d->id, QStringLiteral("%1").arg(entry->subindex.toInt(), 2, 16, QLatin1Char('0')).toUpper(),
                      d->parameterName);
  }
  return items;
}

void PdoMappingPage::fillPdoObjectList(QComboBox* slot, bool transmitList) const {
  const QSignalBlocker blocker(slot);
  slot->clear();
  slot->addItems(objectListItems(transmitList));
  slot->setCurrentIndex(0);
}

void PdoMappingPage::refreshObjectLists(bool force) {
  // The SDO list is rebuilt whenever another dictionary is loaded: the lists
  // follow it the next time the page shows a PDO.
  if (!force) {
    const QStringList items = objectListItems(transmit());
    QStringList shown;
    for (int i = 0; i < slots_[0]->count(); ++i) shown << slots_[0]->itemText(i);
    if (shown == items) return;
  }
  for (QComboBox* slot : slots_) fillPdoObjectList(slot, transmit());
}

void PdoMappingPage::directionClicked() {
  refreshObjectLists(true);
  ButtonPdoReadClick();
}

void PdoMappingPage::enterPage() {
  if (host_->nmtStateText() != QLatin1String("Drivestate: Pre Operational")) {
    const auto answer = showMessageBox(QStringLiteral("Warning"),
                                       QStringLiteral("Warning: You are not in state Pre Operational.\n"
                                                      "PDO Mapping only works in state Pre Operational.\n"
                                                      "Do you want to switch states?"),
                                       QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes) host_->enterPreOperational();
  }
  ButtonPdoReadClick();
}

void PdoMappingPage::ButtonPdoReadClick() {
  StringGridSDODataSource* list = host_->sdoList();
  if (!list || writing_) return;
  refreshObjectLists(false);
  const QString c = pdofile::indexText(communicationIndex());
  const QString m = pdofile::indexText(mappingIndex());

  const std::uint32_t cob = cachedU32(list->getValue(c, co::pdo::kCobId, false));
  ui->CheckBoxPdoEnable->setChecked(!(cob & co::cob::kInvalid));
  ui->CheckBoxPdoRtr->setChecked(!(cob & co::cob::kNoRtr));
  const std::uint32_t id = cob & co::cob::kId11Mask;
  ui->EditPdoCob->setText(cobHex_ ? QStringLiteral("%1").arg(id, 3, 16, QLatin1Char('0')).toUpper()
                                  : QString::number(id));
  if (transmit()) {
    ui->EditPdoInhibitTime->setText(list->getValue(c, co::pdo::kInhibitTime, false));
    ui->EditPdoEventTime->setText(list->getValue(c, co::pdo::kEventTimer, false));
  }
  ui->ComboBoxPdoTransmissionType->setEditText(list->getValue(c, co::pdo::kTransmissionType, false));
  ui->lblNumOfObj->setText(list->getValue(m, 0, false));

  checking_ = true;  // one check once every slot shows its object
  for (int s = 0; s < co::pdo::kMaxEntries; ++s) {
    const co::pdo::MappingEntry e = co::pdo::unpack(cachedU32(list->getValue(m, s + 1, false)));
    const QString head =
        QStringLiteral("0x%1 0x%2 ")
            .arg(pdofile::indexText(e.index), QStringLiteral("%1").arg(e.sub, 2, 16, QLatin1Char('0')).toUpper());
    const QString unsignedText = head + typeName(e.bits, false);
    const QString signedText = head + typeName(e.bits, true);
    QString text;
    if (e.index == 0) {
      text = unsignedText + QStringLiteral(" none");
    } else if (e.index >= 2 && e.index <= 4) {
      text = signedText + QStringLiteral(" Dummy Type ") +
             typeName(StringGridPDOReceivedDataSource::widthOf(e.index), true);
    } else if (isDummy(e.index)) {
      text = unsignedText + QStringLiteral(" Dummy Type ") +
             typeName(StringGridPDOReceivedDataSource::widthOf(e.index), false);
    } else if (const sdoGridEntry* entry = list->findEntry(pdofile::indexText(e.index), e.sub)) {
      text = unsignedText + QLatin1Char(' ') + entry->definition->parameterName;
    }
    QComboBox* slot = slotBox(s);
    slot->setCurrentIndex(-1);
    if (text.isEmpty())
      slot->setCurrentIndex(0);
    else
      slot->setEditText(text);
  }
  checking_ = false;
  checkPdoSlots();
}

void PdoMappingPage::checkPdoSlots() {
  if (checking_) return;
  checking_ = true;
  int bits = 0;
  int count = 0;
  for (QComboBox* slot : slots_) {
    slot->setEnabled(true);
    if (slot->currentText().mid(2, 4) == QLatin1String("0000")) continue;
    bits += slotObject(slot->currentText()).width;
    ++count;
  }
  if (bits > co::pdo::kMaxBits) {
    showMessageBox(QStringLiteral("Warning"),
                   QStringLiteral("You exceeded the PDO Memory space. Only 8 Byte available"), QMessageBox::Warning);
    for (int s = co::pdo::kMaxEntries - 1; s >= 0; --s) {
      QComboBox* slot = slotBox(s);
      if (slot->currentText().mid(2, 4) == QLatin1String("0000")) continue;
      bits -= slotObject(slot->currentText()).width;
      --count;
      slot->setCurrentIndex(0);
      slot->setEditText(kEmptySlot);
      break;
    }
  }
  // Every further object needs at least one byte: the slots beyond what
  // the remaining bytes can hold are closed, from the last one upwards.
  int k = bits / 8 - count;
  for (int s = co::pdo::kMaxEntries - 1; s >= 0 && k > 0; --s) {
    QComboBox* slot = slotBox(s);
    if (slot->currentText().mid(2, 4) != QLatin1String("0000")) continue;
    slot->setEnabled(false);
    --k;
  }
  ui->lblNumOfObj->setText(QString::number(count));
  checking_ = false;
  if (k > 0) showMessageBox(QString(), QStringLiteral("Error: Not enough free slots"));
}

void PdoMappingPage::ButtonPdoWriteClick() {
  StringGridSDODataSource* list = host_->sdoList();
  if (!list || writing_) return;
  const bool tx = transmit();
  const std::uint16_t c = communicationIndex();
  const std::uint16_t m = mappingIndex();
  const QString pdoName =
      QStringLiteral("%1 %2").arg(tx ? QStringLiteral("TxPDO") : QStringLiteral("RxPDO")).arg(pdoNumber());
  if (!list->findEntry(pdofile::indexText(c), co::pdo::kCobId) || !list->findEntry(pdofile::indexText(m), 0)) {
    showMessageBox(QStringLiteral("Error"), pdoName + QStringLiteral(" is not in the object dictionary of the node."),
                   QMessageBox::Critical);
    return;
  }

  // Everything is converted and checked before the first write, so that a
  // text that is not a number or an unknown object leaves the node as it was.
  std::vector<std::uint32_t> entries;  // the used slots, gaps closed
  for (int s = 0; s < co::pdo::kMaxEntries; ++s) {
    const QString text = slotBox(s)->currentText();
    if (text.mid(2, 4) == QLatin1String("0000")) continue;
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const std::int32_t index = Util::ToInt(words.value(0));
    const std::int32_t sub = Util::ToInt(words.value(1));
    const sdoGridEntry* entry = index >= 0 && index <= 0xFFFF && sub >= 0 && sub <= 0xFF
                                    ? list->findEntry(pdofile::indexText(std::uint32_t(index)), sub)
                                    : nullptr;
    if (!entry && !isDummy(std::uint32_t(index))) {
      Logging::instance().log(QStringLiteral("Error getting Data for Object %1").arg(s + 1));
      return;
    }
    const int dataType = isDummy(std::uint32_t(index)) ? index : entry->definition->dataType;
    const int width = StringGridPDOReceivedDataSource::widthOf(dataType);
    if (width == 0) {
      Logging::instance().log(QStringLiteral("\"%1\" (data type %2) is a unknown type").arg(text).arg(dataType));
      return;
    }
    entries.push_back(co::pdo::pack({std::uint16_t(index), std::uint8_t(sub), std::uint8_t(width)}));
  }
  const auto transmissionType = std::uint8_t(Util::ToInt(ui->ComboBoxPdoTransmissionType->currentText()));
  const auto inhibit = std::uint16_t(tx ? Util::ToInt(ui->EditPdoInhibitTime->text()) : 0);
  const auto event = std::uint16_t(tx ? Util::ToInt(ui->EditPdoEventTime->text()) : 0);
  const std::int32_t id =
      cobHex_ ? Util::ToInt(QStringLiteral("0x") + ui->EditPdoCob->text()) : Util::ToInt(ui->EditPdoCob->text());
  if (id <= 0 || std::uint32_t(id) > co::cob::kId11Mask) {
    showMessageBox(QStringLiteral("Warning"),
                   QStringLiteral("The COB-ID %1 is not a CAN identifier from 0x001 to 0x7FF. Nothing was written.")
                       .arg(ui->EditPdoCob->text()),
                   QMessageBox::Warning);
    return;
  }
  std::uint32_t cob = std::uint32_t(id);
  if (!ui->CheckBoxPdoEnable->isChecked()) cob |= co::cob::kInvalid;
  if (tx && !ui->CheckBoxPdoRtr->isChecked()) cob |= co::cob::kNoRtr;

  PdoTransferScope transfers(*host_);
  writing_ = true;
  auto put = [list](std::uint16_t index, std::int32_t sub, std::uint32_t value) {
    return !StringGridSDODataSource::applicationClosing &&
           list->setValue(pdofile::indexText(index), sub, QString::number(value), true);
  };
  // The mapping changes only while the PDO is invalid and its count is 0;
  // the count last, once every entry is in place. A refused step ends the
  // mapping there, so that no stale entry becomes part of a valid PDO.
  bool mapped = put(c, co::pdo::kCobId, co::cob::kInvalid) && put(m, 0, 0);
  for (int s = 0; mapped && s < co::pdo::kMaxEntries; ++s)
    mapped = put(m, s + 1, std::size_t(s) < entries.size() ? entries[std::size_t(s)] : 0);
  if (mapped) mapped = put(m, 0, std::uint32_t(entries.size()));
  bool ok = mapped;
  if (mapped) {
    ok = put(c, co::pdo::kTransmissionType, transmissionType) && ok;
    if (tx) {
      ok = put(c, co::pdo::kInhibitTime, inhibit) && ok;
      ok = put(c, co::pdo::kEventTimer, event) && ok;
    }
    ok = put(c, co::pdo::kCobId, cob) && ok;
  }
  writing_ = false;
  if (StringGridSDODataSource::applicationClosing) return;
  if (!mapped)
    Logging::instance().log(QStringLiteral("The node refused the mapping of %1; the PDO stays disabled.").arg(pdoName));
  else if (!ok)
    Logging::instance().log(QStringLiteral("The node refused a parameter of %1.").arg(pdoName));
  if (!ok) readBackFromNode();
  RoutingMessageFilter::routing().rebuildTpdoTable();
  ButtonPdoReadClick();
}

void PdoMappingPage::readBackFromNode() {
  StringGridSDODataSource* list = host_->sdoList();
  if (!list) return;
  const QString c = pdofile::indexText(communicationIndex());
  const QString m = pdofile::indexText(mappingIndex());
  for (std::int32_t sub : {1, 2, 3, 5})
    if (list->findEntry(c, sub) && !StringGridSDODataSource::applicationClosing) list->readById(c, sub);
  for (std::int32_t sub = 0; sub <= co::pdo::kMaxEntries; ++sub)
    if (list->findEntry(m, sub) && !StringGridSDODataSource::applicationClosing) list->readById(m, sub);
}

void PdoMappingPage::cobBaseClicked(bool toHex) {
  if (toHex == cobHex_) return;
  const QString text = ui->EditPdoCob->text();
  if (toHex) {
    const auto value = std::uint32_t(Util::ToInt(text));
    ui->EditPdoCob->setText(QStringLiteral("%1").arg(value, int(text.size()), 16, QLatin1Char('0')).toUpper());
    ui->lblCOBPraefix->setText(QStringLiteral("0x"));
  } else {
    ui->EditPdoCob->setText(QString::number(std::uint32_t(Util::ParseHexAfterX(text))));
    ui->lblCOBPraefix->clear();
  }
  cobHex_ = toHex;
}

void PdoMappingPage::transmissionTypeChanged() {
  const QString text = ui->ComboBoxPdoTransmissionType->currentText();
  if (text.isEmpty()) return;
  bool ok = false;
  const int value = text.toInt(&ok);
  if (!ok || value < 0 || value > 255) ui->ComboBoxPdoTransmissionType->setEditText(QStringLiteral("255"));
}

void PdoMappingPage::btnSavePDOConfigClick() {
  StringGridSDODataSource* list = host_->sdoList();
  std::array<bool, 8> valid{};
  for (int i = 0; i < 8; ++i) {
    const std::uint16_t c = i < 4 ? co::pdo::rpdoCommunication(i + 1) : co::pdo::tpdoCommunication(i - 3);
    valid[std::size_t(i)] =
        list && !(cachedU32(list->getValue(pdofile::indexText(c), co::pdo::kCobId, false)) & co::cob::kInvalid);
  }
  saveWindow_->setSelection(valid);
  saveWindow_->show();
  saveWindow_->raise();
}

void PdoMappingPage::btnLoadPDOConfigClick() {
  // The page keeps what it shows when nothing was loaded (Cancel, a file
  // that was not used).
  if (runLoadWindow(*loadWindow_) == QDialog::Accepted) ButtonPdoReadClick();
}
