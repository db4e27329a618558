// The NMT buttons, the node-information refresh and the node settings of the
// main window, and its side of the node scan.

#include <QLineEdit>

#include "DLLConnector.h"
#include "Logging.h"
#include "MainFormScopes.h"
#include "StringGridSDODataSource.h"
#include "TMainForm.h"
#include "TfrmSearch.h"
#include "Util.h"
#include "ui_TMainForm.h"
#include "canopen/Cia301.h"
#include "canopen/Orvane.h"

namespace {

namespace co = kestrum::canopen;

/// The maker's bit-rate code of object 0x2005, in decimal, for a kbit/s text
/// of the list; empty for a text that is not in it.
QString bitRateCode(const QString& kbit) {
  bool ok = false;
  const unsigned rate = kbit.toUInt(&ok);
  const std::uint8_t code = ok ? co::orvane::bitRateCode(rate) : 0;
  return code ? QString::number(code) : QString();
}

}  // namespace

void TMainForm::startBtnClick() {
  if (connector_) connector_->send_nmtW(co::nmt::kStart);
}

void TMainForm::stopBtnClick() {
  if (!connector_) return;
  // A stopped node answers no SDO: the pending exchange would only wait out
  // its time-out.
  connector_->cancelQuery();
  connector_->send_nmtW(co::nmt::kStop);
}

void TMainForm::preopButtonClick() {
  if (connector_) connector_->send_nmtW(co::nmt::kEnterPreOperational);
}

void TMainForm::resetBtnClick() {
  if (!connector_) return;
  connector_->cancelQuery();  // the resetting node drops the exchange anyway
  connector_->send_nmtW(co::nmt::kResetNode);
}

void TMainForm::btnRefreshNodeInfoClick() {
  whenIdle("Refresh Node Info", [this] {
    InUse inUse(workflowDepth_);
    ui->btnRefreshNodeInfo->setEnabled(false);
    for (QLabel* label : {ui->lblHWDevice, ui->lblSWVersion, ui->lblCANRevision, ui->lblSerialNumber})
      label->setText(QStringLiteral("-"));
    const int result = ReadVers(true);
    if (DLLConnector::appClosing) return;
    if (result == 0) deviceConnected = true;
    ui->btnRefreshNodeInfo->setEnabled(true);
    sendNodeGuardingRequest();
  });
}

void TMainForm::btnUpdateNodeConfigClick() {
  whenIdle("Update Node Configuration", [this] {
    if (!sdoList_) return;
    InUse inUse(workflowDepth_);
    // The controller takes both values only after they are stored and it
    // restarts; the application's own node ID and bit rate stay as they are.
    const QString node = ui->txtNodeID->text();
    if (!sdoList_->setValue(QStringLiteral("2009"), 0, node, true))
      Logging::instance().log(QStringLiteral("Couldn't set the NodeID to ") + node);
    if (StringGridSDODataSource::applicationClosing) return;
    const QString rate = ui->cmbBaudrates->currentText();
    if (!sdoList_->setValue(QStringLiteral("2005"), 0, bitRateCode(rate), true))
      Logging::instance().log(QStringLiteral("Couldn't set the Baudrate to ") + rate);
  });
}

void TMainForm::btnScanforNodesClick() {
  if (!connector_ || connector_->getClassName() == QLatin1String("DLLConnectorEmpty")) return;
  // Owned by the main window: every click opens a further scan window, which
  // "Cancel" and "Connect" only hide.
  auto* scan = new TfrmSearch(this, this);
  scan->show();
}

void TMainForm::setScanRunning(bool running) {
  if (running)
    ++workflowDepth_;
  else if (workflowDepth_ > 0)
    --workflowDepth_;
}

void TMainForm::connectScannedNode(int node, int bitRatePosition) {
  if (closing_) return;
  ui->MotorIdEdit->setText(QString::number(node));
  if (bitRatePosition >= 0 && bitRatePosition < ui->BaudrateCombo->count())
    ui->BaudrateCombo->setCurrentIndex(bitRatePosition);
  canInitBtnClick();
}
