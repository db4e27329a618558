#pragma once
#include <QDialog>
#include <QString>

#include <array>
#include <functional>
#include <memory>

#include "PdoHost.h"

class QCheckBox;
namespace Ui {
class TfrmSavePDOConfig;
}

/// "Save PDO Config": stores the chosen PDOs as the SDO list's cache holds
/// them in a PDO configuration file. Lives as long as the mapping page and
/// keeps the last chosen file name.
class TfrmSavePDOConfig : public QDialog {
  Q_OBJECT
 public:
  TfrmSavePDOConfig(PdoHost& host, QWidget* parent);
  ~TfrmSavePDOConfig() override;

  /// Ticks RxPDO 1-4 (0-3) and TxPDO 1-4 (4-7).
  void setSelection(const std::array<bool, 8>& ticked);
  /// Writes the file; a file that cannot be written is reported and the
  /// window stays open. True when the file was written.
  bool btnOkClick();
  void btnFileDialogClick();
  /// Asks for the file to save to; empty when the user cancels. Tests replace it.
  std::function<QString(QWidget* parent, const QString& current)> chooseFile;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::unique_ptr<Ui::TfrmSavePDOConfig> ui;
  PdoHost& host_;
  std::array<QCheckBox*, 8> boxes_{};
};
