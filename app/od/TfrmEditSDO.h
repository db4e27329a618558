#pragma once
#include <QDialog>

#include <array>
#include <cstdint>
#include <memory>

class QCheckBox;
class QKeyEvent;
class StringGridSDODataSource;
namespace Ui {
class TfrmEditSDO;
}

/// The modal dialog "Edit SDO": the value of one writable row of the SDO
/// list in three coupled forms (decimal, "0x" hexadecimal, one box per bit),
/// limited to the width of the object's data type. "Ok" writes the decimal
/// text through the SDO list, which shows the result in the row.
///
/// The three update marks keep a change of one form from re-triggering the
/// others while they are being filled.
class TfrmEditSDO : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmEditSDO(QWidget* parent = nullptr);
  ~TfrmEditSDO() override;

  /// Fills the dialog from row `row` of `list` (not owned; must outlive the
  /// dialog). The caller then shows it modally. False when there is no row.
  bool openForRow(std::int32_t row, StringGridSDODataSource* list);

  // Handlers of the dialog's controls.
  void txtEditDecimalChange();
  void txtEditHexChange();
  void chkBinaryClick();
  void btnWriteToDeviceClick();
  void btnCancelClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QString typeName() const;
  /// Bits the type's value has (and boxes enabled): 1 for "bool", 8, 16 or
  /// 32 for the integer types, 0 for the others.
  int bitWidth() const;
  /// Hex text of the low `bitWidth` bits; empty for types without one.
  QString hexText(std::uint32_t value) const;
  /// The value as the type's decimal text (signed types signed).
  QString decimalText(std::uint32_t value) const;
  void setBitsFromDecimal();
  bool rejectDecimalKey(const QKeyEvent& key);
  bool handleHexKey(const QKeyEvent& key);

  std::unique_ptr<Ui::TfrmEditSDO> ui;
  std::array<QCheckBox*, 32> bits_{};
  StringGridSDODataSource* list_ = nullptr;
  std::int32_t dataType_ = 0;
  bool updatingFromDecimal = false;
  bool updatingFromHex = false;
  bool updatingFromBits = false;
};
