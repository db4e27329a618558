#include "TMainForm.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QTableWidget>
#include <QMenu>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include "AdapterChannels.h"
#include "DLLConnector.h"
#include "DLLConnectorEmpty.h"
#include "DLLLoader.h"
#include "DriveControl.h"
#include "DriveModesPage.h"
#include "GuardedHandler.h"
#include "ErrorView.h"
#include "FirmwareHost.h"
#include "FirmwarePage.h"
#include "InputFilters.h"
#include "IoPage.h"
#include "ClosedLoopPage.h"
#include "MotorHost.h"
#include "MotorSettingsPage.h"
#include "KestrumApplication.h"
#include "MainFormScopes.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "PdoMappingPage.h"
#include "RoutingMessageFilter.h"
#include "ScopeHost.h"
#include "ScopeWindow.h"
#include "StringGridPDOReceivedDataSource.h"
#include "StringGridSDODataSource.h"
#include "TfrmCANLog.h"
#include "TfrmEditSDO.h"
#include "VersionReport.h"
#include "Util.h"
#include "ui_TMainForm.h"
#include "canopen/Cia301.h"

namespace {

const QStringList kSdoTitles{QStringLiteral("ID"),    QStringLiteral("Sub"),         QStringLiteral("Type"),
                             QStringLiteral("Value"), QStringLiteral("Description"), QStringLiteral("Message")};
const QStringList kPdoReceivedTitles{QStringLiteral("PDO"),   QStringLiteral("Object ID"), QStringLiteral("Description"),
                                     QStringLiteral("Value"), QStringLiteral("Timestamp"), QStringLiteral("Show")};

// Panel colours; the texts stay black on all of them.
const QColor kGreen(92, 214, 92);
const QColor kRed(255, 107, 107);
const QColor kYellow(255, 225, 77);
const QColor kGrey(192, 192, 192);
const QColor kAqua(77, 225, 255);

QColor drivestateColor(const QString& text) {
  // Tested in this order: "Pre Operational" also contains "Operational".
  if (text.contains(QLatin1String("Pre Operational"))) return kYellow;
  if (text.contains(QLatin1String("Operational"))) return kGreen;
  if (text.contains(QLatin1String("Stopped"))) return kRed;
  if (text.contains(QLatin1String("BOOTLOADER"))) return kAqua;
  return kGrey;
}


constexpr int kToolTipMs = 6000;

QTimer* makeTimer(QObject* owner, const char* name, int intervalMs) {
  auto* timer = new QTimer(owner);
  timer->setObjectName(QLatin1String(name));
  timer->setInterval(intervalMs);
  if (intervalMs <= 10) timer->setTimerType(Qt::PreciseTimer);
  return timer;
}

}  // namespace

TMainForm::TMainForm(DLLLoader* loader, const QString& libraryPath, QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::TMainForm>()), loader_(loader), libraryPath_(libraryPath) {
  ui->setupUi(this);
  if (libraryPath_.isEmpty())
    libraryPath_ = DLLLoader::libraryFolder() + QLatin1Char('/') + QLatin1String(DLLLoader::fileName);

  tmrAutoConnect = makeTimer(this, "tmrAutoConnect", 500);
  tmrAutoConnect->setSingleShot(true);
  tmrCanAdapter_DeviceStatus = makeTimer(this, "tmrCanAdapter_DeviceStatus", 50);
  tmrBitUpdate = makeTimer(this, "tmrBitUpdate", 10);
  tmrLifeguard = makeTimer(this, "tmrLifeguard", 100);
  tmrUpdateStatus = makeTimer(this, "tmrUpdateStatus", 100);
  tmrStartBootloader = makeTimer(this, "tmrStartBootloader", 1);
  tmrError = makeTimer(this, "tmrError", 500);
  tmrIORefreshTimer = makeTimer(this, "tmrIORefreshTimer", 500);
  IpmodeSyncTimer = makeTimer(this, "IpmodeSyncTimer", 1000);

  // The drive pages use the window's timers: they come after them.
  driveModes_ = new DriveModesPage(*this, this, ui->tabDriveModes);
  ui->layDriveModes->addWidget(driveModes_);
  errorView_ = new ErrorView(*this, tmrError, ui->tabNodeSettings);
  ui->layNodeSettings->insertWidget(1, errorView_, 1);
  ioPage_ = new IoPage(*this, ui->tabIO);
  (new QVBoxLayout(ui->tabIO))->addWidget(ioPage_);
  {
    // The firmware page reaches the window through its own interface.
    struct WindowFirmwareHost : FirmwareHost {
      explicit WindowFirmwareHost(TMainForm& w) : window(w) {}
      DLLConnector* connector() const override { return window.connector(); }
      int nodeId() const override { return window.nodeId(); }
      void SetBusy(bool busy) override { window.SetBusy(busy); }
      void ShowDriveStateUnknown() override { window.ShowDriveStateUnknown(); }
      bool bootloaderActive() const override { return window.bootloaderActive; }
      void setBootloaderActive(bool active) override {
        window.bootloaderActive = active;
        window.ui->btnRecoverBootloader->setEnabled(active);
      }
      void setDeviceConnected(bool connected) override { window.deviceConnected = connected; }
      bool probeBootloader() override { return window.bootloaderActive = window.ProbeBootloader(); }
      void reconnect() override {
        // The connection probes for the bootloader only when no firmware
        // answers; a node that answers has left it.
        window.bootloaderActive = false;
        window.ShowDriveStateUnknown();
        window.runConnectionWorkflow(false);
        window.ui->btnRecoverBootloader->setEnabled(window.bootloaderActive);
      }
      void clearObjectViews() override {
        if (window.pdoView_) {
          window.pdoView_->clearMapping();
          window.pdoView_->buildRows();
        }
        if (window.sdoList_) window.sdoList_->clearAllRead();
        window.rereadAll = true;
      }
      void setFirmwareWorkRunning(bool running) override { window.setFirmwareWorkRunning(running); }
      TMainForm& window;
    };
    firmwareHost_ = std::make_unique<WindowFirmwareHost>(*this);
  }
  firmwarePage_ = new FirmwarePage(*firmwareHost_, tmrStartBootloader, tmrUpdateStatus, ui->UpdtSheet);
  (new QVBoxLayout(ui->UpdtSheet))->addWidget(firmwarePage_);
  connect(ui->btnRecoverBootloader, &QPushButton::clicked, this,
          guarded([this] { firmwarePage_->btnRecoverBootloaderClick(); }));
  {
    // The motor pages reach the window through their own interface.
    struct WindowMotorHost : MotorHost {
      explicit WindowMotorHost(TMainForm& w) : window(w) {}
      StringGridSDODataSource* sdoList() const override { return window.sdoList(); }
      DLLConnector* connector() const override { return window.connector(); }
      int nodeId() const override { return window.nodeId(); }
      void SetBusy(bool busy) override { window.SetBusy(busy); }
      bool offline() const override { return window.ui->comboExVendor->currentText() == QLatin1String("offline"); }
      bool adapterConnected() const override { return window.adapterConnected; }
      bool isClosing() const override { return window.isClosing(); }
      const MotorLib& motorLib() const override { return window.motorLib_; }
      const CLLib& clLib() const override { return window.clLib_; }
      const device* currentDevice() override {
        if (!window.currentDevice_) window.currentDevice_ = window.deviceLib_.getDevice(window.ui->lblHWDevice->text());
        return window.currentDevice_;
      }
      void stopErrorAutoRefresh() override { window.errorView_->stopAutoRefresh(); }
      bool driveModesShown() const override { return window.ui->TabControl->currentWidget() == window.ui->tabDriveModes; }
      TMainForm& window;
    };
    motorHost_ = std::make_unique<WindowMotorHost>(*this);
  }
  motorPage_ = new MotorSettingsPage(*motorHost_, ui->tabMotorSettings);
  (new QVBoxLayout(ui->tabMotorSettings))->addWidget(motorPage_);
  closedLoopPage_ = new ClosedLoopPage(*motorHost_, ui->tabClosedLoop);
  (new QVBoxLayout(ui->tabClosedLoop))->addWidget(closedLoopPage_);
  connect(ui->tctlNodeConfig, &QTabWidget::currentChanged, this, guarded([this] { tctlNodeConfigChange(); }));
  setupPdoViews();
  connect(ui->imgRefresh, &QAbstractButton::clicked, this, [this] {
    std::uint16_t statusword = 0;
    driveModes_->control().readStatusword(statusword);
  });

  static const char* const kPanelDesign[6] = {"PEAK", "IXXAT", "Can Adapter:", "Can Device:", "Drivestate: Unkown", ""};
  for (int i = 0; i < 6; ++i) {
    auto* panel = new QLabel(QLatin1String(kPanelDesign[i]), ui->StatusBar);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setAutoFillBackground(true);
    panel->setContentsMargins(2, 0, 6, 0);
    panel->setFrameShape(QFrame::StyledPanel);
    panels_[std::size_t(i)] = panel;
    ui->StatusBar->addWidget(panel, i == 5 ? 1 : 0);
    panelColors_[std::size_t(i)] = panel->palette().color(QPalette::Window);
  }
  ui->StatusBar->setSizeGripEnabled(true);

  // The right-hand pane starts at about a third of the window.
  ui->splitMain->setStretchFactor(0, 3);
  ui->splitMain->setStretchFactor(1, 1);
  ui->splitMain->setSizes({860, 420});
  ui->splitRight->setSizes({180, 560});

  connect(tmrAutoConnect, &QTimer::timeout, this, guarded([this] { tmrAutoConnectTimer(); }));
  connect(tmrCanAdapter_DeviceStatus, &QTimer::timeout, this, guarded([this] { tmrCanAdapter_DeviceStatusTimer(); }));
  connect(tmrBitUpdate, &QTimer::timeout, this, guarded([this] { tmrBitUpdateTimer(); }));
  connect(tmrLifeguard, &QTimer::timeout, this, guarded([this] { tmrLifeguardTimer(); }));
  connect(ui->canInitBtn, &QPushButton::clicked, this, guarded([this] { canInitBtnClick(); }));
  connect(ui->comboExVendor, qOverload<int>(&QComboBox::activated), this, guarded([this] { comboExVendorChange(); }));
  connect(ui->chkLifeguard, &QCheckBox::clicked, this, guarded([this] { chkLifeguardClick(); }));
  connect(ui->TabControl, &QTabWidget::currentChanged, this, guarded([this] { TabControlChange(); }));
  connect(ui->tabCtlObjMngnt, &QTabWidget::currentChanged, this, guarded([this] { tabCtlObjMngntChange(); }));
  connect(ui->MotorIdEdit, &QLineEdit::textChanged, this, guarded([this] { MotorIdEditChange(); }));
  connect(ui->btnClearLogErrors, &QPushButton::clicked, this, guarded([this] { btnClearLogErrorsClick(); }));
  connect(ui->btnShowBusLog, &QPushButton::clicked, this, guarded([this] { btnShowBusLogClick(); }));
  connect(ui->btnScope, &QPushButton::clicked, this, guarded([this] { btnScopeClick(); }));
  connect(ui->ControllerBox, qOverload<int>(&QComboBox::activated), this, guarded([this] { ControllerBoxChange(); }));
  connect(ui->SDOAktBtn, &QPushButton::clicked, this, guarded([this] { SDOAktBtnClick(); }));
  connect(ui->btnSDOListRefreshSelected, &QPushButton::clicked, this, guarded([this] { btnSDOListRefreshSelectedClick(); }));
  connect(ui->SDOGrid, &QTableView::doubleClicked, this, guarded([this] { SDOGridDblClick(); }));
  connect(ui->eepromWrBtn, &QPushButton::clicked, this, guarded([this] { eepromWrBtnClick(); }));
  connect(ui->eepromRdBtn, &QPushButton::clicked, this, guarded([this] { eepromRdBtnClick(); }));
  connect(ui->SetConfigBtn, &QPushButton::clicked, this, guarded([this] { SetConfigBtnClick(); }));
  connect(ui->saveFileBtn, &QPushButton::clicked, this, guarded([this] { saveFileBtnClick(); }));
  connect(ui->readFileBtn, &QPushButton::clicked, this, guarded([this] { readFileBtnClick(); }));
  connect(ui->btnSaveAll, &QPushButton::clicked, this, guarded([this] { btnSaveAllClick(); }));
  connect(ui->startBtn, &QPushButton::clicked, this, guarded([this] { startBtnClick(); }));
  connect(ui->stopBtn, &QPushButton::clicked, this, guarded([this] { stopBtnClick(); }));
  connect(ui->preopButton, &QPushButton::clicked, this, guarded([this] { preopButtonClick(); }));
  connect(ui->resetBtn, &QPushButton::clicked, this, guarded([this] { resetBtnClick(); }));
  connect(ui->btnRefreshNodeInfo, &QPushButton::clicked, this, guarded([this] { btnRefreshNodeInfoClick(); }));
  connect(ui->btnUpdateNodeConfig, &QPushButton::clicked, this, guarded([this] { btnUpdateNodeConfigClick(); }));
  connect(ui->btnScanforNodes, &QPushButton::clicked, this, guarded([this] { btnScanforNodesClick(); }));

  {
    // The PDO mapping page reaches the window through its own interface. Its
    // transfers count as a running workflow, so that no rebuild of the object
    // views pulls the SDO list from under them.
    struct WindowPdoHost : PdoHost {
      explicit WindowPdoHost(TMainForm& w) : window(w) {}
      StringGridSDODataSource* sdoList() const override { return window.sdoList(); }
      DLLConnector* connector() const override { return window.connector(); }
      void enterPreOperational() override { window.preopButtonClick(); }
      QString nmtStateText() const override { return window.panelText(4); }
      void setTransfersRunning(bool running) override { window.setScanRunning(running); }
      TMainForm& window;
    };
    PdoMappingPage* pdoMapping = PdoMappingPage::insertInto(ui->tabPdoMapping, std::make_unique<WindowPdoHost>(*this));
    // Connected after the page switching above: the first visit's read-all
    // has filled the cache by the time the page shows it.
    const auto enterPdoMapping = [this, pdoMapping] {
      if (ui->TabControl->currentWidget() == ui->tabObjMngt && ui->tabCtlObjMngnt->currentWidget() == ui->tabPdoMapping)
        pdoMapping->enterPage();
    };
    connect(ui->TabControl, &QTabWidget::currentChanged, this, guarded(enterPdoMapping));
    connect(ui->tabCtlObjMngnt, &QTabWidget::currentChanged, this, guarded(enterPdoMapping));
  }

  // Tips stay 6 s, however long their text: the toolkit's own duration grows
  // with the text and keeps long tips over the fields they explain. Every
  // page is in place by now.
  setToolTipDuration(kToolTipMs);
  for (QWidget* w : findChildren<QWidget*>()) w->setToolTipDuration(kToolTipMs);

  KeyFilter::install(ui->MotorIdEdit, KeyFilter::Unsigned);
  KeyFilter::install(ui->txtLifeguardTime, KeyFilter::Unsigned);
  KeyFilter::install(ui->txtNodeID, KeyFilter::Unsigned);
  ui->MotorIdEdit->installEventFilter(this);
  ui->txtNodeID->installEventFilter(this);

  // The CAN log registers itself with the message filter and logs from now
  // on; the window shows it on request.
  canLog_ = std::make_unique<TfrmCANLog>();

  // The message filter reaches the window through these hooks only.
  RoutingMessageFilter& filter = RoutingMessageFilter::routing();
  NodeStateHooks hooks;
  hooks.showNmtState = [this](std::uint8_t s) { ShowNmtState(s); };
  hooks.stopPolling = [this] { StopPolling(); };
  hooks.clearPollingSuspended = [this] { pollingSuspended = false; };
  // The node whose NMT state the status bar shows is the one of the node
  // settings field, which every connection fills from MotorIdEdit.
  hooks.nodeId = [this] { return Util::ToIntDef(ui->txtNodeID->text(), 1); };
  filter.setHooks(std::move(hooks));

  FormCreate();
}

TMainForm::~TMainForm() {
  // A download still running uses the connector: it ends before anything goes.
  delete firmwarePage_;
  firmwarePage_ = nullptr;
  StringGridSDODataSource::applicationClosing = true;
  DLLConnector::appClosing = true;
  scope_.reset();  // its polls use the connector
  destroyObjectViews();
  connector_.reset();
  canLog_.reset();
  Logging::instance().detach();
  RoutingMessageFilter::routing().setHooks({});
}

void TMainForm::FormCreate() {
  appFolder_ = QDir::currentPath();
  ui->TabControl->setCurrentWidget(ui->ConfSheet);
  ui->tctlNodeConfig->setCurrentWidget(ui->tabNodeSettings);
  ui->tabCtlObjMngnt->setCurrentWidget(ui->tabSDOList);
  ui->MotorIdEdit->setText(QStringLiteral("1"));

  ui->LogWindow->clear();
  createConnector();
  Logging::instance().attach(ui->LogWindow);

  ui->ControllerBox->addItems(EDSDatabase::controllerItems(appFolder_));
  ui->ControllerBox->setCurrentIndex(ui->ControllerBox->count() > 0 ? 0 : -1);
  try {
    database_.loadDefault(appFolder_);
  } catch (const EdsLoadError& e) {
    showMessageBox(QStringLiteral("Error"), e.message(), QMessageBox::Critical);
  }

  loadLibraries();

  createObjectViews();
  ui->pLeftBottom->setVisible(false);  // the status-word panel opens with the drive pages
  ui->pdoRecGrid->setColumnCount(int(kPdoReceivedTitles.size()));
  ui->pdoRecGrid->setHorizontalHeaderLabels(kPdoReceivedTitles);

  fillAdapterList();

  {
    // The adapter is initialised once at start; the automatic connection
    // then probes and identifies the node.
    const int node = nodeId();
    const int bitRate = Util::ToIntDef(ui->BaudrateCombo->currentText(), 1000);
    connector_->cancelQuery();
    ConnectNode(node, bitRate, false);
  }

  // An outdated library is reported even when no adapter was found: the
  // next adapter plugged in would be driven by it.
  const DLLLoader& library = loader_ ? *loader_ : DLLLoader::getLoader();
  if (library.available) DLLLoader::checkLibraryVersion(libraryPath_);
  const QString executable = QCoreApplication::applicationFilePath();
  setWindowTitle(QStringLiteral("Kestrum ") + ReadFileVersion(executable));
  ui->Memo1->setPlainText(versionReportLines(executable, hasHighResolutionCounter()).join(QLatin1Char('\n')));

  tmrCanAdapter_DeviceStatus->start();
  tmrCanAdapter_DeviceStatusTimer();
  ShowDriveStateUnknown();
  tmrAutoConnect->start();
}

void TMainForm::createConnector() {
  // Without the library, or without any adapter, work goes on offline. A
  // missing IXXAT driver (-1) is no reason: PEAK channels may still exist.
  connector_ = std::make_unique<DLLConnector>(loader_);
  bool offline = !connector_->isOnline();
  if (!offline && connector_->getIXXATDevicesW() == 0) {
    int channels[64] = {};
    offline = connector_->getPeakDevicesW(channels, peakCode()) == 0;
  }
  if (offline) {
    connector_.reset();
    connector_ = std::make_unique<DLLConnectorEmpty>(loader_);
  }
}

void TMainForm::fillAdapterList() {
  ui->comboExVendor->clear();
  const int ixxat = connector_->getIXXATDevicesW();
  if (ixxat < 0) {
    setPanel(1, QStringLiteral("IXXAT Driver not found."));
    ui->SelectCanCheckBox->setEnabled(false);
  } else if (ixxat == 0) {
    setPanel(1, QStringLiteral("0 IXXAT Device(s) found."));
    ui->SelectCanCheckBox->setEnabled(false);
  } else {
    ui->comboExVendor->addItem(QStringLiteral("IXXAT"));
    setPanel(1, QStringLiteral("%1 IXXAT Device(s) found.").arg(ixxat));
  }
  int channels[64] = {};
  const int peak = connector_->getPeakDevicesW(channels, peakCode());
  if (peak > 0) {
    for (int i = 0; i < peak && i < 64; ++i) ui->comboExVendor->addItem(entryForChannelHandle(channels[i]));
    setPanel(0, QStringLiteral("%1 Peak Device(s) found.").arg(peak));
  } else {
    setPanel(0, QStringLiteral("Peak driver not found."));
  }
  ui->comboExVendor->addItem(QStringLiteral("offline"));
  ui->comboExVendor->setCurrentIndex(0);
}

int TMainForm::peakCode() const {
  // The PEAK driver takes its own bit-rate codes; the kbit/s number of the
  // list would be read as a register value and open channels at a wrong rate.
  return pcanBaudCode(Util::ToIntDef(ui->BaudrateCombo->currentText(), 1000));
}

bool TMainForm::isRealConnector() const {
  return connector_ && connector_->getClassName() == QLatin1String("DLLConnector");
}

int TMainForm::nodeId() const { return Util::ToIntDef(ui->MotorIdEdit->text(), 1); }

void TMainForm::createObjectViews() {
  sdoList_ = std::make_unique<StringGridSDODataSource>(ui->SDOGrid, &database_, connector_.get());
  sdoList_->setNodeId(std::uint8_t(nodeId()));
  std::array<QLabel*, 16> labels{};
  for (int i = 0; i < 16; ++i) labels[std::size_t(i)] = findChild<QLabel*>(QStringLiteral("lblSWBit%1").arg(i));
  sdoList_->setStatusWordLabels(labels);
  sdoList_->setColumnTitles(kSdoTitles);
  sdoList_->setNmtState(nmtStateCode_);
  pdoView_ = std::make_unique<StringGridPDOReceivedDataSource>(ui->pdoRecGrid, ui->pdoQuickView, sdoList_.get());
  pdoView_->setDisplayMode(StringGridPDOReceivedDataSource::DisplayMode(quickViewMode_));
  RoutingMessageFilter::routing().rebuildTpdoTable();
}

void TMainForm::destroyObjectViews() {
  pdoView_.reset();
  sdoList_.reset();
}

void TMainForm::RebuildObjectViews() {
  InUse inUse(workflowDepth_);
  destroyObjectViews();
  const QString choice = ui->ControllerBox->currentText();
  try {
    if (EDSDatabase::choiceUsesDefault(choice))
      database_.loadDefault(appFolder_);
    else
      database_.loadForController(appFolder_, choice);
  } catch (const EdsLoadError& e) {
    // The previous dictionary stays loaded; the list is built from it.
    showMessageBox(QStringLiteral("Error"), e.message(), QMessageBox::Critical);
  }
  createObjectViews();
}

void TMainForm::ControllerBoxChange() {
  whenIdle("controller choice", [this] { RebuildObjectViews(); });
}

bool TMainForm::isInUse() const { return workflowDepth_ > 0; }

void TMainForm::whenIdle(const char* what, std::function<void()> action) {
  (void)what;
  if (closing_) return;
  if (!isInUse()) {
    action();
    return;
  }
  QTimer::singleShot(20, this, [this, what, action = std::move(action)]() mutable { whenIdle(what, std::move(action)); });
}

void TMainForm::waitMs(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// ---------------------------------------------------------------------------
// Adapter initialisation, NMT state, busy state, polling.

void TMainForm::ConnectNode(int node, int bitRate, bool copyToFields) {
  Logging::instance().log(QStringLiteral("Connecting to Node: %1").arg(node));
  if (copyToFields) {
    ui->txtNodeID->setText(QString::number(node));
    ui->MotorIdEdit->setText(QString::number(node));
  }
  if (sdoList_) sdoList_->setNodeId(std::uint8_t(node));
  const int channel = channelCodeForEntry(ui->comboExVendor->currentText());
  void* owner = static_cast<QWidget*>(this);
  if (ui->SelectCanCheckBox->isChecked()) {
    connector_->init_canW(std::uint8_t(node), bitRate, -1, -1, false, channel, owner);
    return;
  }
  if (isRealConnector())
    connector_->init_canW(std::uint8_t(node), bitRate, -1, -1, true, channel, owner);
  else if (auto* offline = dynamic_cast<DLLConnectorEmpty*>(connector_.get()))
    offline->bindDatabase(&database_);
}

void TMainForm::setNmtDisplay(const QString& state, std::uint8_t code) {
  nmtStateCode_ = code;
  setPanel(4, QStringLiteral("Drivestate: ") + state);
  if (sdoList_) sdoList_->setNmtState(code);
}

void TMainForm::ShowNmtState(std::uint8_t s) {
  namespace nmt = kestrum::canopen::nmt;
  if ((s & nmt::kStateMask) == nmt::kPreOperational)
    setNmtDisplay(QStringLiteral("Pre Operational"), 0);
  else if ((s & nmt::kOperational) == nmt::kOperational)
    setNmtDisplay(QStringLiteral("Operational"), 1);
  else if (s & nmt::kStopped)
    setNmtDisplay(QStringLiteral("Stopped"), 2);
  else if (bootloaderActive)
    setNmtDisplay(QStringLiteral("BOOTLOADER"), 4);
  else
    setNmtDisplay(QStringLiteral("Unknown"), 3);
}

void TMainForm::ShowDriveStateUnknown() {
  if (bootloaderActive)
    setNmtDisplay(QStringLiteral("BOOTLOADER"), 4);
  else
    setNmtDisplay(QStringLiteral("Unknown"), 3);
}

void TMainForm::setPanel(int panel, const QString& text) {
  QLabel* label = panels_.at(std::size_t(panel));
  if (label->text() == text && panel != 4) return;
  label->setText(text);
  QColor color = panelColors_[std::size_t(panel)];
  if (panel == 2 || panel == 3)
    color = text.contains(QLatin1String("disconnected")) || text.contains(QLatin1String("lost")) ? kRed : kGreen;
  else if (panel == 4)
    color = drivestateColor(text);
  else
    return;
  panelColors_[std::size_t(panel)] = color;
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, color);
  palette.setColor(QPalette::WindowText, Qt::black);
  label->setPalette(palette);
}

QString TMainForm::panelText(int panel) const { return panels_.at(std::size_t(panel))->text(); }

void TMainForm::StopPolling() {
  tmrBitUpdate->stop();
  tmrError->stop();
  tmrUpdateStatus->stop();
  tmrIORefreshTimer->stop();
  IpmodeSyncTimer->stop();
  // The boxes show what runs: with their timers stopped, the SYNC frames and
  // the automatic refreshes do not (the user ticks them again by hand).
  for (const char* name : {"IpmodeSyncCheckBox", "chkErrorAutoRefresh", "chkDigiInAutoRefresh", "chkDigiOutAutoRefresh",
                           "chkAnalogIORefreshValue", "chkPollCurrentSpeed"}) {
    if (auto* box = findChild<QCheckBox*>(QLatin1String(name))) {
      const QSignalBlocker blocker(box);
      box->setChecked(false);
    }
  }
  pollingSuspended = true;
}

void TMainForm::SetBusy(bool busy) {
  if (busy) {
    if (busyDepth_++ > 0) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ui->TabControl->setEnabled(false);
    QCoreApplication::processEvents();
  } else {
    if (busyDepth_ == 0 || --busyDepth_ > 0) return;
    QCoreApplication::processEvents();
    ui->TabControl->setEnabled(true);
    QApplication::restoreOverrideCursor();
  }
}

void TMainForm::setFirmwareWorkRunning(bool running) {
  if (running == firmwareWorkRunning_) return;
  firmwareWorkRunning_ = running;
  if (running) {
    ++workflowDepth_;  // no workflow or rebuild starts meanwhile
    StopPolling();
    tmrLifeguard->stop();
    QApplication::setOverrideCursor(Qt::BusyCursor);
  } else {
    --workflowDepth_;
    QApplication::restoreOverrideCursor();
    if (ui->chkLifeguard->isChecked()) tmrLifeguard->start();
  }
  // The firmware page stays usable for its Cancel buttons; the other pages
  // hold the node ID, the NMT buttons and every other bus action.
  QTabWidget* tabs = ui->TabControl;
  for (int i = 0; i < tabs->count(); ++i)
    if (tabs->widget(i) != ui->UpdtSheet) tabs->setTabEnabled(i, !running);
}

void TMainForm::EnableNmtButtons() {
  for (QWidget* w : {static_cast<QWidget*>(ui->btnRefreshNodeInfo), static_cast<QWidget*>(ui->stopBtn),
                     static_cast<QWidget*>(ui->resetBtn), static_cast<QWidget*>(ui->preopButton),
                     static_cast<QWidget*>(ui->startBtn)})
    w->setEnabled(true);
}

void TMainForm::sendNodeGuardingRequest() {
  if (!connector_) return;
  std::uint8_t data[8] = {};
  connector_->send_PDOW(kestrum::canopen::cob::errorControl(std::uint8_t(nodeId())), data, true);
}

void TMainForm::tmrCanAdapter_DeviceStatusTimer() {
  if (adapterConnected && connector_ && connector_->busLostW()) {
    // Unplugged or the connection cut: nothing reaches the node any more.
    // Polling stops rather than failing every tick; waits end on their own
    // as their requests fail at once.
    busLost_ = true;
    adapterConnected = false;
    deviceConnected = false;
    StopPolling();
    ShowDriveStateUnknown();
    Logging::instance().log(
        QStringLiteral("CAN bus lost: the adapter no longer reaches the bus. Connect again with \"Initialize CAN\"."));
  }
  setPanel(2, busLost_           ? QStringLiteral("CAN Adapter: bus lost")
              : adapterConnected ? QStringLiteral("CAN Adapter: connected")
                                 : QStringLiteral("CAN Adapter: disconnected"));
  setPanel(3, deviceConnected ? QStringLiteral("CAN Device: connected") : QStringLiteral("CAN Device: disconnected"));
}

void TMainForm::tmrBitUpdateTimer() {
  if (StringGridSDODataSource::applicationClosing || adapterConnected) return;
  ui->btnRefreshNodeInfo->setEnabled(false);
  ui->stopBtn->setEnabled(false);
  ui->resetBtn->setEnabled(false);
  ui->preopButton->setEnabled(false);
}

void TMainForm::chkLifeguardClick() {
  const int interval = Util::ToIntDef(ui->txtLifeguardTime->text(), 100);
  ui->txtLifeguardTime->setText(QString::number(interval));
  tmrLifeguard->setInterval(interval);
  if (ui->chkLifeguard->isChecked())
    tmrLifeguard->start();
  else
    tmrLifeguard->stop();
}

void TMainForm::tmrLifeguardTimer() {
  if (deviceConnected) sendNodeGuardingRequest();
}

void TMainForm::MotorIdEditChange() {
  if (!connector_) return;  // the field is set before the connector exists
  deviceConnected = false;
  ShowDriveStateUnknown();
  rereadAll = true;
  const int node = nodeId();
  connector_->select_nodeW(node);
  if (sdoList_) sdoList_->setNodeId(std::uint8_t(node));
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  // MotorIdEdit and txtNodeID (txtNodeIDExit): leaving one empty writes "1".
  for (QLineEdit* field : {ui->MotorIdEdit, ui->txtNodeID}) {
    if (watched == field && event->type() == QEvent::FocusOut && field->text().isEmpty()) {
      field->setText(QStringLiteral("1"));
      field->selectAll();
    }
  }
  // The quick view's display mode by key: D decimal, H hexadecimal, B binary.
  if (watched == ui->pdoQuickView && event->type() == QEvent::KeyRelease) {
    switch (static_cast<QKeyEvent*>(event)->key()) {
      case Qt::Key_D: setQuickViewMode(StringGridPDOReceivedDataSource::Decimal); break;
      case Qt::Key_H: setQuickViewMode(StringGridPDOReceivedDataSource::Hex); break;
      case Qt::Key_B: setQuickViewMode(StringGridPDOReceivedDataSource::Binary); break;
      default: break;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void TMainForm::btnClearLogErrorsClick() { ui->LogWindow->clear(); }

void TMainForm::btnScopeClick() {
  if (!scope_) {
    struct WindowScopeHost : ScopeHost {
      explicit WindowScopeHost(TMainForm& w) : window(w) {}
      StringGridSDODataSource* sdoList() const override { return window.sdoList(); }
      StringGridPDOReceivedDataSource* pdoView() const override { return window.pdoView(); }
      DLLConnector* connector() const override { return window.connector(); }
      int nodeId() const override { return window.nodeId(); }
      int bitRateKbit() const override { return Util::ToIntDef(window.ui->BaudrateCombo->currentText(), 1000); }
      bool busBusy() const override { return window.isInUse() || window.firmwareWorkRunning_ || window.closing_; }
      void setTransferRunning(bool running) override { window.setScanRunning(running); }
      TMainForm& window;
    };
    scopeHost_ = std::make_unique<WindowScopeHost>(*this);
    scope_ = std::make_unique<ScopeWindow>(scopeHost_.get());
  }
  scope_->show();
  scope_->raise();
  scope_->activateWindow();
}

void TMainForm::btnShowBusLogClick() {
  if (!canLog_) return;
  canLog_->show();
  canLog_->raise();
  canLog_->activateWindow();
}

// ---------------------------------------------------------------------------
// Page switching.

void TMainForm::TabControlChange() {
  BusyScope busy(this);
  QWidget* page = ui->TabControl->currentWidget();
  ui->pLeftBottom->setVisible(page == ui->tabDriveModes);
  if (page == ui->ConfSheet || page == ui->UpdtSheet || page == ui->Info) return;

  if (!deviceConnected && isRealConnector()) {
    {
      const QSignalBlocker blocker(ui->TabControl);
      ui->TabControl->setCurrentWidget(ui->ConfSheet);
    }
    showMessageBox(QStringLiteral("Error"), QStringLiteral("Please Connect to a Device"), QMessageBox::Warning);
    return;
  }
  if ((sdoList_ && !sdoList_->isAllRead() && !readingAll) || rereadAll) {
    InUse inUse(workflowDepth_);
    rereadAll = false;
    readingAll = true;
    deviceConnected = sdoList_ && sdoList_->readAll();
    if (StringGridSDODataSource::applicationClosing) return;
    readingAll = false;
    errorView_->applyEmergencyNotify();
  }
  if (page == ui->tabObjMngt) tabCtlObjMngntChange();
  // The pages stop their own auto refreshes when they are hidden.
  if (page == ui->tabIO) ioPage_->RefreshIO();
  if (page == ui->tabNodeConfig) tctlNodeConfigChange();
  if (page == ui->tabDriveModes) {
    tmrBitUpdate->stop();
    driveModes_->tabCtlDriveModesChange();
  } else {
    tmrBitUpdate->start();
  }
}

void TMainForm::tctlNodeConfigChange() {
  // The inner pages change only while "Node Configuration" is shown; the other
  // pages stop the error auto refresh by hiding the error view.
  if (ui->TabControl->currentWidget() != ui->tabNodeConfig) return;
  QWidget* page = ui->tctlNodeConfig->currentWidget();
  if (page == ui->tabNodeSettings) errorView_->enter();
  if (page == ui->tabMotorSettings) motorPage_->enter();
  if (page == ui->tabClosedLoop) closedLoopPage_->enter();
}

void TMainForm::loadLibraries() {
  // In the order the pages need them; each keeps what it could read.
  QStringList errors;
  if (!motorLib_.load()) errors << motorLib_.error();
  if (!deviceLib_.load()) errors << deviceLib_.error();
  if (!clLib_.load()) errors << clLib_.error();
  for (const QString& error : errors) Logging::instance().log(error);
  if (!errors.isEmpty())
    showMessageBox(QStringLiteral("Error"), errors.join(QLatin1Char('\n')), QMessageBox::Warning);
  motorPage_->librariesLoaded();
  closedLoopPage_->librariesLoaded();
}

void TMainForm::setupPdoViews() {
  // A double click on a row marks its object for the quick view, or unmarks it.
  connect(ui->pdoRecGrid, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
    const QTableWidgetItem* pdoCell = ui->pdoRecGrid->item(row, 0);
    const QTableWidgetItem* showCell = ui->pdoRecGrid->item(row, 5);
    if (!pdoView_ || !pdoCell || !showCell || pdoCell->text().size() < 3) return;
    const QString pdo = pdoCell->text();
    pdoView_->setShow(pdo.at(0).digitValue(), pdo.at(2).digitValue(), showCell->text() != QLatin1String("true"));
  });
  auto* menu = new QMenu(ui->pdoQuickView);
  menu->setObjectName(QStringLiteral("popPDOQuickView"));
  auto* group = new QActionGroup(menu);
  const std::pair<const char*, StringGridPDOReceivedDataSource::DisplayMode> items[] = {
      {"hex", StringGridPDOReceivedDataSource::Hex},
      {"decimal", StringGridPDOReceivedDataSource::Decimal},
      {"binary", StringGridPDOReceivedDataSource::Binary}};
  for (const auto& [name, mode] : items) {
    QAction* action = menu->addAction(QLatin1String(name));
    action->setObjectName(QLatin1String(name) + QLatin1Char('1'));
    action->setCheckable(true);
    action->setChecked(mode == quickViewMode_);
    group->addAction(action);
    connect(action, &QAction::triggered, this, [this, mode = mode] { setQuickViewMode(mode); });
  }
  ui->pdoQuickView->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ui->pdoQuickView, &QWidget::customContextMenuRequested, this,
          [this, menu](const QPoint& at) { menu->popup(ui->pdoQuickView->viewport()->mapToGlobal(at)); });
  ui->pdoQuickView->setToolTip(QStringLiteral("press d - decimal, h - hex, b - binary to switch."));
  ui->pdoQuickView->installEventFilter(this);
}

void TMainForm::setQuickViewMode(int mode) {
  quickViewMode_ = mode;
  if (pdoView_) pdoView_->setDisplayMode(StringGridPDOReceivedDataSource::DisplayMode(mode));
  static const char* const kNames[] = {"decimal1", "hex1", "binary1"};
  if (auto* action = findChild<QAction*>(QLatin1String(kNames[mode]))) action->setChecked(true);
}

bool TMainForm::statuswordByPdo() const {
  // Only an operational node sends its transmit PDOs.
  return pdoView_ && pdoView_->isObjectMapped(QStringLiteral("6041"), 0) &&
         panelText(4) == QLatin1String("Drivestate: Operational");
}

void TMainForm::tabCtlObjMngntChange() {
  const bool online = isRealConnector();
  for (QWidget* w : {static_cast<QWidget*>(ui->SDOAktBtn), static_cast<QWidget*>(ui->btnSDOListRefreshSelected),
                     static_cast<QWidget*>(ui->btnSaveAll), static_cast<QWidget*>(ui->SetConfigBtn),
                     static_cast<QWidget*>(ui->eepromWrBtn), static_cast<QWidget*>(ui->eepromRdBtn)})
    w->setEnabled(online);
  if (ui->tabCtlObjMngnt->currentWidget() == ui->tabSDOList && sdoList_ && !sdoList_->isAllRead() && online) {
    InUse inUse(workflowDepth_);
    const bool ok = sdoList_->readAll();
    if (StringGridSDODataSource::applicationClosing) return;
    ui->PollingLabel->setText(ok ? QStringLiteral("Reading all finished") : QStringLiteral("Reading all failed"));
  }
}

// ---------------------------------------------------------------------------
// Shut-down.

void TMainForm::closeEvent(QCloseEvent* event) {
  // Shutting the library down under a download would leave the controller
  // with half an image; the user cancels it first.
  if (firmwareWorkRunning_) {
    showMessageBox(QStringLiteral("Firmware Update"),
                   QStringLiteral("A firmware update is running. Click \"Cancel\" on the page \"Firmware Update\" "
                                  "and close Kestrum when it has ended."),
                   QMessageBox::Warning);
    event->ignore();
    return;
  }
  if (closing_) {
    event->accept();
    return;
  }
  closing_ = true;
  StopPolling();
  tmrAutoConnect->stop();
  tmrLifeguard->stop();
  tmrBitUpdate->stop();
  DLLConnector::appClosing = true;
  StringGridSDODataSource::applicationClosing = true;
  QCoreApplication::processEvents();
  waitMs(100);
  QCoreApplication::processEvents();
  // A wait that was running when the window closed is still on the stack
  // below this handler; it returns at once now that the flags are set, and
  // the objects it uses go when the window is destroyed.
  scope_.reset();  // a top-level window of its own, polling through the connector
  if (!isInUse()) {
    destroyObjectViews();
    connector_.reset();
  }
  // The log window is a top-level window of its own: it goes with the main
  // window, or the application would stay open for it.
  canLog_.reset();
  event->accept();
}
