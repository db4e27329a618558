#include "TfrmSavePDOConfig.h"

#include <QFileDialog>
#include <QScreen>

#include "MessageBoxService.h"
#include "PdoConfigFile.h"
#include "SaveFile.h"
#include "StringGridSDODataSource.h"
#include "canopen/Cia301.h"
#include "ui_TfrmSavePDOConfig.h"

namespace {

namespace co = kestrum::canopen;

QString defaultChooser(QWidget* parent, const QString& current) {
  QFileDialog dialog(parent, QStringLiteral("Save PDO Config"), current, QStringLiteral("PDO Config File (*.pcf)"));
  dialog.setObjectName(QStringLiteral("dlgConfigSave"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                 : QString();
}

}  // namespace

TfrmSavePDOConfig::TfrmSavePDOConfig(PdoHost& host, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmSavePDOConfig>()), host_(host) {
  chooseFile = &defaultChooser;
  ui->setupUi(this);
  boxes_ = {ui->chkRxPDO1, ui->chkRxPDO2, ui->chkRxPDO3, ui->chkRxPDO4,
            ui->chkTxPDO1, ui->chkTxPDO2, ui->chkTxPDO3, ui->chkTxPDO4};
  connect(ui->btnFileDialog, &QPushButton::clicked, this, [this] { btnFileDialogClick(); });
  connect(ui->btnOk, &QPushButton::clicked, this, [this] {
    if (btnOkClick()) accept();
  });
  connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TfrmSavePDOConfig::~TfrmSavePDOConfig() = default;

void TfrmSavePDOConfig::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void TfrmSavePDOConfig::setSelection(const std::array<bool, 8>& ticked) {
  for (std::size_t i = 0; i < boxes_.size(); ++i) boxes_[i]->setChecked(ticked[i]);
}

void TfrmSavePDOConfig::btnFileDialogClick() {
  QString name = chooseFile(this, ui->txtfilename->text());
  if (name.isEmpty()) return;
  if (!name.endsWith(QLatin1String("pcf"))) name += QStringLiteral(".pcf");
  ui->txtfilename->setText(name);
}

bool TfrmSavePDOConfig::btnOkClick() {
  StringGridSDODataSource* list = host_.sdoList();
  const QString path = ui->txtfilename->text();
  QByteArray content;
  for (int i = 0; i < 8; ++i) {
    if (!boxes_[std::size_t(i)]->isChecked()) continue;
    const std::uint16_t c = i < 4 ? co::pdo::rpdoCommunication(i + 1) : co::pdo::tpdoCommunication(i - 3);
    const auto m = std::uint16_t(c + co::pdo::kMappingOffset);
    auto line = [&](std::uint16_t index, std::int32_t sub) {
      const QString value = list ? list->getValue(pdofile::indexText(index), sub, false) : QStringLiteral("0");
      content += pdofile::formatLine(index, sub, value);
    };
    line(c, co::pdo::kCobId);
    line(c, co::pdo::kTransmissionType);
    for (std::int32_t sub = 0; sub <= co::pdo::kMaxEntries; ++sub) line(m, sub);
  }
  // Written whole or not at all: a failed write keeps the previous file.
  QString error;
  if (!savefile::write(path, content, &error)) {
    showMessageBox(
        QStringLiteral("Error"),
        QStringLiteral("The PDO configuration could not be saved to \"%1\": %2").arg(path, error),
        QMessageBox::Critical);
    return false;
  }
  return true;
}
