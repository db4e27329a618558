// The connection workflow of the main window: from the chosen adapter entry
// to an identified controller.

#include <QSignalBlocker>
#include <QTimer>

#include "DLLConnector.h"
#include "DLLConnectorEmpty.h"
#include "MotorSettingsPage.h"
#include "Logging.h"
#include "MainFormScopes.h"
#include "StringGridSDODataSource.h"
#include "TMainForm.h"
#include "TfrmCANLog.h"
#include "Util.h"
#include "ui_TMainForm.h"
#include "canopen/Orvane.h"

namespace {

const QString kOffline = QStringLiteral("offline");

// Closing codes: ReadVers names the step the closing cut short, the workflow
// has its own fixed codes.
bool closing() { return DLLConnector::appClosing; }

}  // namespace

void TMainForm::tmrAutoConnectTimer() {
  tmrAutoConnect->stop();
  // A connection the user started in the first half second has done the work.
  if (isInUse()) return;
  runConnectionWorkflow(true);
}

void TMainForm::canInitBtnClick() {
  whenIdle("Initialize CAN", [this] { runConnectionWorkflow(false); });
}

void TMainForm::comboExVendorChange() {
  whenIdle("adapter choice", [this] { runConnectionWorkflow(false); });
}

void TMainForm::runConnectionWorkflow(bool autoConnect) {
  InUse inUse(workflowDepth_);
  BusyScope busy(this);
  adapterConnected = false;
  busLost_ = false;
  // Offline there is neither adapter nor device, whatever the workflow ended
  // with; a closing code is no connection either.
  deviceConnected = ConnectAdapter(autoConnect) == 1 && isRealConnector();
  if (!isRealConnector()) adapterConnected = false;
}

void TMainForm::arrangeAllPages() {
  QTabWidget* tabs = ui->TabControl;
  const QSignalBlocker blocker(tabs);
  const int info = tabs->indexOf(ui->Info);
  if (info >= 0) tabs->removeTab(info);
  const std::pair<QWidget*, QString> pages[] = {{ui->tabDriveModes, QStringLiteral("Drive Modes")},
                                                {ui->tabIO, QStringLiteral("I/O")},
                                                {ui->UpdtSheet, QStringLiteral("Firmware Update")}};
  for (const auto& page : pages)
    if (tabs->indexOf(page.first) < 0) tabs->addTab(page.first, page.second);
  QTabWidget* node = ui->tctlNodeConfig;
  const QSignalBlocker nodeBlocker(node);
  if (node->indexOf(ui->tabMotorSettings) >= 0) node->removeTab(node->indexOf(ui->tabMotorSettings));
  node->insertTab(1, ui->tabMotorSettings, QStringLiteral("Motor && Drive Settings"));
  tabs->addTab(ui->Info, QStringLiteral("Info"));
}

void TMainForm::logErrorLine(const QString& text) { Logging::instance().log(text); }

int TMainForm::ConnectAdapter(bool autoConnect) {
  currentDevice_ = nullptr;
  ui->lblHWDevice->clear();
  ui->lblSWVersion->clear();
  ui->lblSerialNumber->clear();
  ui->lblCANRevision->clear();
  const QString entry = ui->comboExVendor->currentText();
  // The log's page draws would compete with the identity reads for the
  // event loop; the frames are still recorded and shown once it runs again.
  if (canLog_) canLog_->setFilling(false);

  // A real connector stays when a real adapter is chosen again: the library
  // takes another init_can for a new node, bit rate or adapter, and closing
  // and reopening it would freeze the window for its settling pauses.
  const bool keepConnector = entry != kOffline && isRealConnector();
  destroyObjectViews();
  Logging::instance().detach();
  if (!keepConnector) connector_.reset();

  if (entry == kOffline) {
    bootloaderActive = false;
    adapterConnected = false;
    deviceConnected = false;
    ui->btnRecoverBootloader->setEnabled(false);
    connector_ = std::make_unique<DLLConnectorEmpty>(loader_);
    ui->SelectCanCheckBox->setEnabled(false);
    ui->SelectCanCheckBox->setChecked(false);
    QTabWidget* tabs = ui->TabControl;
    const QSignalBlocker blocker(tabs);
    for (QWidget* page : {ui->Info, ui->UpdtSheet, ui->tabIO, ui->tabDriveModes})
      if (tabs->indexOf(page) >= 0) tabs->removeTab(tabs->indexOf(page));
    tabs->addTab(ui->Info, QStringLiteral("Info"));
    ShowDriveStateUnknown();
  } else {
    if (!keepConnector) connector_ = std::make_unique<DLLConnector>(loader_);
    const bool ixxat = entry == QLatin1String("IXXAT");
    ui->SelectCanCheckBox->setEnabled(ixxat);
    if (!ixxat) ui->SelectCanCheckBox->setChecked(false);
    arrangeAllPages();
  }

  {
    const QSignalBlocker blocker(ui->TabControl);
    ui->tctlNodeConfig->setCurrentWidget(ui->tabNodeSettings);
    ui->TabControl->setCurrentWidget(ui->ConfSheet);
  }
  Logging::instance().attach(ui->LogWindow);
  ui->LogWindow->clear();

  ui->txtNodeID->setText(ui->MotorIdEdit->text());
  ui->cmbBaudrates->setCurrentIndex(ui->BaudrateCombo->currentIndex());
  const int node = nodeId();
  const int bitRate = Util::ToIntDef(ui->BaudrateCombo->currentText(), 1000);
  createObjectViews();
  connector_->cancelQuery();
  ConnectNode(node, bitRate, false);
  if (isRealConnector()) adapterConnected = true;

  const SDOResult probe = connector_->readObject(std::uint8_t(node), 0x6041, 0, TYPE_U16, 200);
  auto noDevice = [this] {
    Logging::instance().log(QStringLiteral("...no Device detected."));
    EnableNmtButtons();
    bootloaderActive = ProbeBootloader();
    ShowDriveStateUnknown();
    return 0;
  };
  // A node that did not answer the probe at all would only let every
  // identity read run into its time-out; one that refused the object is
  // there and may still name itself.
  if (probe.code != sdo_result::kOk && (autoConnect || probe.code == sdo_result::kNoAnswer)) return noDevice();

  ReadVers(autoConnect);
  if (closing()) return 10;
  if (ui->lblHWDevice->text().isEmpty()) {
    if (autoConnect || probe.code != sdo_result::kOk) return noDevice();
    if (closing()) return 11;
    ReadVers(false);
    if (closing()) return 12;
  }

  if (!chooseDevice()) {
    if (isRealConnector()) {
      bootloaderActive = ProbeBootloader();
      ShowDriveStateUnknown();
      Logging::instance().log(bootloaderActive ? QStringLiteral("The Bootloader of the CAN Device is active!")
                                               : QStringLiteral("Couldn't determine HW Device - Please Check\n"
                                                                "   Connection -> Node Id, Baudrate, Can-Adapter, "
                                                                "Power Supply,\n   Wiring"));
    } else {
      Logging::instance().log(QStringLiteral("Offline Mode"));
    }
    return 0;
  }
  EnableNmtButtons();
  Logging::instance().log(QStringLiteral("Connected"));
  adapterConnected = isRealConnector();
  if (closing()) return 13;
  sendNodeGuardingRequest();
  if (closing()) return 14;
  pollingSuspended = false;
  if (canLog_) canLog_->setFilling(true);
  // Offline the dictionary's defaults are browsed, but no device is there.
  return isRealConnector() ? 1 : 0;
}

bool TMainForm::chooseDevice() {
  // Offline there is no controller to look up: its dictionary's defaults are
  // browsed with the fallback's properties, without the "not found" box.
  const QString name = ui->lblHWDevice->text();
  currentDevice_ = isRealConnector() || deviceLib_.contains(name) ? deviceLib_.getDevice(name)
                                                                   : deviceLib_.find(QStringLiteral("Mirelo"));
  if (!currentDevice_) return false;
  motorPage_->setBldcTypes(currentDevice_->BLDC);
  return true;
}

int TMainForm::ReadVers(bool quick) {
  const std::uint32_t t1 = quick ? 2000 : 4000;
  const int node = nodeId();
  auto upload = [this, node](std::uint16_t index, std::uint8_t sub, std::uint8_t type, std::uint32_t timeout) {
    return connector_->readObject(std::uint8_t(node), index, sub, type, timeout);
  };
  auto errorLine = [this](const SDOResult& r) { logErrorLine(connector_->getErrorText(r)); };

  // The step the name reached tells which of its reads the closing cut short.
  int nameStep = kClosedHardwareName;
  const QString name = readHardwareName(node, nameStep);
  if (closing()) return nameStep;
  ui->lblHWDevice->setText(name);
  {
    const QSignalBlocker blocker(ui->ControllerBox);
    ui->ControllerBox->setCurrentIndex(ui->ControllerBox->findText(name, Qt::MatchFixedString));
  }
  RebuildObjectViews();
  if (closing()) return kClosedObjectViews;
  sdoList_->setValue(QStringLiteral("1009"), 0, name, false);

  const SDOResult version = upload(0x100A, 0, TYPE_STRING, t1);
  if (closing()) return kClosedSoftwareVersion;
  if (quick && version.code == sdo_result::kNoAnswer) return 2;
  QString firmware;
  if (version.code == sdo_result::kWrongType8) {
    // The version as an array of characters with its length in subindex 0.
    const SDOResult count = upload(0x100A, 0, TYPE_U8, 4000);
    if (closing()) return kClosedSoftwareVersionLength;
    if (count.code != sdo_result::kOk) {
      errorLine(count);
      return count.code;
    }
    for (int i = 1; i <= (count.value & 0xFF); ++i) {
      const SDOResult c = upload(0x100A, std::uint8_t(i), TYPE_U8, 4000);
      if (closing()) return kClosedSoftwareVersionCharacters;
      if (c.code != sdo_result::kOk) {
        errorLine(c);
        return c.code;
      }
      firmware += QChar(c.value & 0xFF);
    }
  } else if (version.code == sdo_result::kOk) {
    firmware = DLLConnector::lastSdoString;
  }
  // Any other answer leaves the version empty: the last string read belongs
  // to another object.
  ui->lblSWVersion->setText(firmware);
  sdoList_->setValue(QStringLiteral("100A"), 0, firmware, false);

  const SDOResult revision = upload(0x1018, 3, TYPE_U32, 4000);
  if (closing()) return kClosedRevision;
  if (revision.code != sdo_result::kOk) {
    errorLine(revision);
    return revision.code;
  }
  ui->lblCANRevision->setText(QString::number(std::uint32_t(revision.value)));
  const SDOResult serial = upload(0x1018, 4, TYPE_U32, 4000);
  if (closing()) return kClosedSerialNumber;
  if (serial.code != sdo_result::kOk) {
    errorLine(serial);
    return serial.code;
  }
  ui->lblSerialNumber->setText(QString::number(std::uint32_t(serial.value)));

  if (isRealConnector()) return 0;
  ui->lblHWDevice->setText(QStringLiteral("--OFFLINE--"));
  ui->lblSWVersion->clear();
  ui->lblCANRevision->clear();
  ui->lblSerialNumber->clear();
  return -1;
}

QString TMainForm::ReadHardwareName(int node) {
  int step = kClosedHardwareName;
  return readHardwareName(node, step);
}

QString TMainForm::readHardwareName(int node, int& step) {
  step = kClosedHardwareName;
  const SDOResult r = connector_->readObject(std::uint8_t(node), 0x1009, 0, TYPE_STRING, 2000);
  if (r.code == sdo_result::kOk) return DLLConnector::lastSdoString;
  if (r.code != sdo_result::kWrongType8 && r.code != sdo_result::kNoAnswer) return {};  // the last string read is another object's
  // The name as an array of characters with its length in subindex 0. The
  // caller has written `node` into MotorIdEdit, which these reads address.
  const std::uint8_t field = std::uint8_t(nodeId());
  step = kClosedHardwareNameLength;
  const SDOResult count = connector_->readObject(field, 0x1009, 0, TYPE_U8, 2000);
  if (count.code != sdo_result::kOk || closing()) return {};
  QString name;
  step = kClosedHardwareNameCharacters;
  for (int i = 1; i <= (count.value & 0xFF); ++i) {
    const SDOResult c = connector_->readObject(field, 0x1009, std::uint8_t(i), TYPE_U8, 2000);
    if (c.code != sdo_result::kOk || closing()) return {};
    name += QChar(c.value & 0xFF);
  }
  return name;
}

bool TMainForm::ProbeBootloader() {
  namespace boot = kestrum::canopen::orvane::bootloader;
  const SDOResult r =
      connector_->readObject(std::uint8_t(nodeId()), boot::kObject, boot::kSubProbe, TYPE_U8, 200);
  const bool active = r.code == sdo_result::kOk && !closing();
  ui->btnRecoverBootloader->setEnabled(active);
  return active;
}
