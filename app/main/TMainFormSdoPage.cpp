// The "SDO List" page of the main window: its buttons and the grid.

#include <QDir>
#include <QFileDialog>
#include <QPushButton>

#include "Logging.h"
#include "MainFormScopes.h"
#include "MessageBoxService.h"
#include "StringGridSDODataSource.h"
#include "TfrmEditSDO.h"
#include "TMainForm.h"

#include "DriveControl.h"
#include "DriveModesPage.h"
#include "ui_TMainForm.h"

namespace {

const QString kSaveSignature = QString::number(StringGridSDODataSource::kSaveSignature);
const QString kLoadSignature = QString::number(StringGridSDODataSource::kLoadSignature);

}  // namespace

QString TMainForm::defaultListFileChooser(QWidget* parent, bool save) {
  const QString filter = QStringLiteral("Logfiles (*.log);;all Files (*.*)");
  QFileDialog dialog(parent, save ? QStringLiteral("Save to File") : QStringLiteral("Read from File"), QString(), filter);
  dialog.setDefaultSuffix(QStringLiteral("log"));
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

bool TMainForm::AskPowerOffForSave() { return driveModes_->control().AskPowerOffForSave(); }

void TMainForm::SDOAktBtnClick() {
  if (!sdoList_) return;
  bool ok = false;
  {
    BusyScope busy(this);
    InUse inUse(workflowDepth_);
    ok = sdoList_->readAll();
  }
  if (StringGridSDODataSource::applicationClosing) return;
  ui->PollingLabel->setText(ok ? QStringLiteral("Reading all finished") : QStringLiteral("Reading all failed"));
}

void TMainForm::btnSDOListRefreshSelectedClick() {
  if (!sdoList_) return;
  InUse inUse(workflowDepth_);
  const QModelIndex current = ui->SDOGrid->currentIndex();
  sdoList_->readRow(current.isValid() ? current.row() + 1 : 0);
}

void TMainForm::SDOGridDblClick() {
  if (!sdoList_) return;
  const QModelIndex current = ui->SDOGrid->currentIndex();
  const int row = current.isValid() ? current.row() + 1 : 0;
  // Writable rows open the value editor; the others are read.
  if (!sdoList_->isWritable(row)) {
    btnSDOListRefreshSelectedClick();
    return;
  }
  // The list must stay while the dialog writes through it.
  InUse inUse(workflowDepth_);
  TfrmEditSDO editor(this);
  if (editor.openForRow(row, sdoList_.get())) editor.exec();
}

void TMainForm::eepromWrBtnClick() {
  if (!sdoList_) return;
  InUse inUse(workflowDepth_);
  if (!sdoList_->setValue(QStringLiteral("1010"), 1, kSaveSignature, true))
    Logging::instance().log(QStringLiteral("[Write EEPROM] failed"));
}

void TMainForm::eepromRdBtnClick() {
  if (!sdoList_) return;
  {
    InUse inUse(workflowDepth_);
    if (!sdoList_->setValue(QStringLiteral("1011"), 1, kLoadSignature, true))
      Logging::instance().log(QStringLiteral("[Read EEPROM] failed"));
    waitMs(1000);
  }
  if (!StringGridSDODataSource::applicationClosing) SDOAktBtnClick();
}

void TMainForm::SetConfigBtnClick() {
  ui->SetConfigBtn->setEnabled(false);
  struct Enable {
    QPushButton* button;
    ~Enable() { button->setEnabled(true); }
  } enable{ui->SetConfigBtn};
  if (showMessageBox(QStringLiteral("Warning"),
                     QStringLiteral("Warning all values will be reseted to their defaults. Continue?"),
                     QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
    return;
  if (!AskPowerOffForSave() || !sdoList_) return;
  InUse inUse(workflowDepth_);
  sdoList_->resetToDefaults();
}

void TMainForm::saveFileBtnClick() {
  const QString path = chooseListFile(this, true);
  if (path.isEmpty() || !sdoList_) return;
  QString error;
  if (!sdoList_->saveToFile(path, &error))
    showMessageBox(QStringLiteral("Error"),
                   QStringLiteral("The list could not be saved to %1: %2").arg(QDir::toNativeSeparators(path), error),
                   QMessageBox::Critical);
}

void TMainForm::readFileBtnClick() {
  const QString path = chooseListFile(this, false);
  if (!path.isEmpty() && sdoList_) sdoList_->loadFromFile(path);
}

void TMainForm::btnSaveAllClick() {
  if (!AskPowerOffForSave() || !sdoList_) return;
  BusyScope busy(this);
  InUse inUse(workflowDepth_);
  sdoList_->writeAll();
}
