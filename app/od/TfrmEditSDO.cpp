#include "TfrmEditSDO.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QScreen>

#include <algorithm>
#include <cstdint>

#include "EDSDatabase.h"
#include "MessageBoxService.h"
#include "StringGridSDODataSource.h"
#include "Util.h"
#include "ui_TfrmEditSDO.h"

namespace {

// The limit of the decimal field: beyond it only Delete edits the text.
constexpr int kDecimalMaxLength = 10;

bool isCopyPasteCut(const QKeyEvent& key) {
  return (key.modifiers() & Qt::ControlModifier) &&
         (key.key() == Qt::Key_C || key.key() == Qt::Key_V || key.key() == Qt::Key_X);
}

// A key that produces a character: printable text, Backspace, or a Control
// letter. Navigation, Enter, Escape and Tab are not typed into the field.
bool isCharacter(const QKeyEvent& key) {
  if (key.key() == Qt::Key_Backspace) return true;
  if ((key.modifiers() & Qt::ControlModifier) && key.key() >= Qt::Key_A && key.key() <= Qt::Key_Z) return true;
  const QString text = key.text();
  return !text.isEmpty() && text.at(0).isPrint();
}

QChar typedChar(const QKeyEvent& key) { return key.text().isEmpty() ? QChar() : key.text().at(0); }

bool isHexDigit(QChar c) {
  return c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
         (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

}  // namespace

TfrmEditSDO::TfrmEditSDO(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint), ui(std::make_unique<Ui::TfrmEditSDO>()) {
  ui->setupUi(this);
  for (int i = 0; i < 32; ++i) {
    bits_[i] = findChild<QCheckBox*>(QStringLiteral("chkBinary%1").arg(i));
    connect(bits_[i], &QCheckBox::clicked, this, &TfrmEditSDO::chkBinaryClick);
  }
  connect(ui->txtEditDecimal, &QLineEdit::textChanged, this, &TfrmEditSDO::txtEditDecimalChange);
  connect(ui->txtEditHex, &QLineEdit::textChanged, this, &TfrmEditSDO::txtEditHexChange);
  connect(ui->btnWriteToDevice, &QPushButton::clicked, this, &TfrmEditSDO::btnWriteToDeviceClick);
  connect(ui->btnCancel, &QPushButton::clicked, this, &TfrmEditSDO::btnCancelClick);
  ui->txtEditDecimal->installEventFilter(this);
  ui->txtEditHex->installEventFilter(this);
}

TfrmEditSDO::~TfrmEditSDO() = default;

QString TfrmEditSDO::typeName() const { return dataTypeName(dataType_); }

int TfrmEditSDO::bitWidth() const {
  const QString name = typeName();
  if (name == QLatin1String("bool")) return 1;
  if (name == QLatin1String("u8") || name == QLatin1String("s8")) return 8;
  if (name == QLatin1String("u16") || name == QLatin1String("s16")) return 16;
  if (name == QLatin1String("u32") || name == QLatin1String("s32")) return 32;
  return 0;
}

QString TfrmEditSDO::hexText(std::uint32_t value) const {
  const int width = bitWidth();
  if (width < 8) return {};
  const std::uint32_t mask = width == 32 ? 0xFFFFFFFFu : ((1u << width) - 1);
  return QStringLiteral("0x") + QStringLiteral("%1").arg(value & mask, width / 4, 16, QLatin1Char('0')).toUpper();
}

QString TfrmEditSDO::decimalText(std::uint32_t value) const {
  const QString name = typeName();
  if (name == QLatin1String("u8")) return QString::number(std::uint8_t(value));
  if (name == QLatin1String("s8")) return QString::number(std::int8_t(value));
  if (name == QLatin1String("u16")) return QString::number(std::uint16_t(value));
  if (name == QLatin1String("s16")) return QString::number(std::int16_t(value));
  if (name == QLatin1String("s32")) return QString::number(std::int32_t(value));
  return QString::number(value);
}

bool TfrmEditSDO::openForRow(std::int32_t row, StringGridSDODataSource* list) {
  const sdoGridEntry* entry = list ? list->entryAtRow(row) : nullptr;
  if (!entry) return false;
  const sdoDataDefinition& definition = *entry->definition;
  ui->lblObjID->setText(definition.id);
  ui->lblSubID->setText(entry->subindex);
  ui->lblDataType->setText(dataTypeName(definition.dataType));
  ui->lblDescription->setText(definition.parameterName);
  dataType_ = definition.dataType;
  list_ = list;
  const int width = bitWidth();
  for (int i = 0; i < 32; ++i) {
    bits_[i]->setEnabled(i < width);
    if (i >= width) bits_[i]->setChecked(false);
  }
  ui->txtEditDecimal->setText(QStringLiteral("0"));
  ui->txtEditDecimal->setText(definition.value);
  return true;
}

// ---------------------------------------------------------------------------
// The three coupled forms.

void TfrmEditSDO::txtEditDecimalChange() {
  if (updatingFromHex || updatingFromBits) return;
  const QString text = ui->txtEditDecimal->text();
  if (text == QLatin1String("-")) return;  // a negative number is being typed
  updatingFromDecimal = true;
  const QString name = typeName();
  try {
    std::uint32_t value = 0;
    if (name == QLatin1String("u32")) {
      value = Util::ToUInt32(text);
    } else if (name == QLatin1String("s32")) {
      // Through the unsigned pattern, so "-1" and "4294967295" agree.
      value = std::uint32_t(Util::ToIntDef(QString::number(Util::ToUInt32(text)), 0));
    } else {
      value = std::uint32_t(Util::ToIntDef(text, 0));
    }
    ui->txtEditHex->setText(hexText(value));
    setBitsFromDecimal();
  } catch (const ConversionError&) {
    // A pasted text that is no number leaves the other forms as they were.
  }
  updatingFromDecimal = false;
}

void TfrmEditSDO::txtEditHexChange() {
  if (updatingFromDecimal || updatingFromBits) return;
  updatingFromHex = true;
  const QString text = ui->txtEditHex->text();
  const QString name = typeName();
  try {
    if (bitWidth() >= 8) {
      const std::uint32_t value =
          name == QLatin1String("u32") ? Util::ToUInt32(text) : std::uint32_t(Util::ToIntDef(text, 0));
      ui->txtEditDecimal->setText(decimalText(value));
      setBitsFromDecimal();
    }
  } catch (const ConversionError&) {
    // as for the decimal field
  }
  updatingFromHex = false;
}

void TfrmEditSDO::setBitsFromDecimal() {
  const QString text = ui->txtEditDecimal->text();
  const int width = bitWidth();
  if (width == 1) {
    // A "bool" sends 1 only for the text "1"; the box shows what is sent.
    bits_[0]->setChecked(text == QLatin1String("1"));
    return;
  }
  if (width == 0) return;
  const std::uint32_t value =
      width == 32 ? Util::ToUInt32(text) : std::uint32_t(Util::ToIntDef(text, 0));
  for (int i = 0; i < width; ++i) bits_[i]->setChecked(bits_[i]->isEnabled() && ((value >> i) & 1u));
}

void TfrmEditSDO::chkBinaryClick() {
  if (updatingFromHex || updatingFromDecimal) return;
  const int width = bitWidth();
  if (width == 0) return;
  updatingFromBits = true;
  if (width == 1) {
    ui->txtEditDecimal->setText(bits_[0]->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
  } else {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i)
      if (bits_[i]->isEnabled() && bits_[i]->isChecked()) value |= 1u << i;
    ui->txtEditHex->setText(hexText(value));
    ui->txtEditDecimal->setText(decimalText(value));
  }
  updatingFromBits = false;
}

// ---------------------------------------------------------------------------
// Buttons.

void TfrmEditSDO::btnWriteToDeviceClick() {
  if (ui->txtEditDecimal->text().isEmpty()) ui->txtEditDecimal->setText(QStringLiteral("0"));
  if (list_) {
    const QString id = ui->lblObjID->text();
    const std::int32_t subIndex = Util::ToIntDef(ui->lblSubID->text(), 0);
    const QString previous = list_->getValue(id, subIndex, false);
    try {
      list_->setValue(id, subIndex, ui->txtEditDecimal->text(), true);
    } catch (const ConversionError& e) {
      // Nothing was sent; the row keeps its value and the dialog stays open
      // so the text can be corrected.
      list_->setValue(id, subIndex, previous, false);
      showMessageBox(QStringLiteral("Value Error"), e.text(), QMessageBox::Warning);
      return;
    }
  }
  accept();
}

void TfrmEditSDO::btnCancelClick() { reject(); }

void TfrmEditSDO::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

// ---------------------------------------------------------------------------
// Key rules of the two text fields.

bool TfrmEditSDO::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto& key = *static_cast<QKeyEvent*>(event);
    if (watched == ui->txtEditDecimal) return rejectDecimalKey(key);
    if (watched == ui->txtEditHex) return handleHexKey(key);
  }
  return QDialog::eventFilter(watched, event);
}

bool TfrmEditSDO::rejectDecimalKey(const QKeyEvent& key) {
  if (key.key() == Qt::Key_Delete || !isCharacter(key)) return false;
  if (ui->txtEditDecimal->text().size() > kDecimalMaxLength) return true;
  if (key.key() == Qt::Key_Backspace || isCopyPasteCut(key)) return false;
  if (key.modifiers() & Qt::ControlModifier) return true;
  const QChar c = typedChar(key);
  if (c.isDigit()) return false;
  if (c == QLatin1Char('-') && typeName().contains(QLatin1Char('s'))) return false;
  return true;
}

// Returns true when the key was handled here (rejected or applied).
bool TfrmEditSDO::handleHexKey(const QKeyEvent& key) {
  QLineEdit* edit = ui->txtEditHex;
  if (key.key() == Qt::Key_Delete) return true;
  if (!isCharacter(key)) return false;

  // The prefix stays: put it back if it is missing and keep the caret behind
  // the first digit's place so Backspace cannot reach it.
  if (!edit->text().startsWith(QLatin1String("0x"))) edit->setText(QStringLiteral("0x") + edit->text());
  const int caret = edit->cursorPosition();
  edit->deselect();
  edit->setCursorPosition(std::max(caret, std::min<int>(3, int(edit->text().size()))));

  const bool backspace = key.key() == Qt::Key_Backspace;
  const QChar c = typedChar(key);
  const bool digit = !(key.modifiers() & Qt::ControlModifier) && isHexDigit(c);
  if (!backspace && !digit && !isCopyPasteCut(key)) return true;

  const QString text = edit->text();
  if (text.size() == 3) {
    if (backspace) {
      edit->setText(QStringLiteral("0x0"));
      edit->setCursorPosition(3);
      return true;
    }
    if (text == QLatin1String("0x0") && digit) {
      edit->setText(QStringLiteral("0x") + c.toUpper());
      edit->setCursorPosition(3);
      return true;
    }
  } else if (text.size() >= 4 && !backspace) {
    const int width = bitWidth();
    const int limit = width == 8 ? 4 : width == 16 ? 6 : width == 32 ? 10 : INT32_MAX;
    // Copying changes nothing, so it works on a full field too.
    const bool copy = isCopyPasteCut(key) && key.key() == Qt::Key_C;
    if (text.size() >= limit && !copy) return true;
  }
  if (digit) {
    edit->insert(QString(c.toUpper()));
    return true;
  }
  return false;  // Backspace, copy, paste and cut do their usual work
}
