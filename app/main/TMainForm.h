#pragma once
#include <QColor>
#include <QMainWindow>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "CLLib.h"
#include "DeviceLib.h"
#include "DriveHost.h"
#include "EDSDatabase.h"
#include "MotorLib.h"
#include "NodeScanHost.h"

class DLLConnector;
class DLLLoader;
class ClosedLoopPage;
class DriveModesPage;
class ErrorView;
class FirmwareHost;
class FirmwarePage;
class IoPage;
class MotorHost;
class MotorSettingsPage;
class QLabel;
class QTimer;
class ScopeHost;
class ScopeWindow;
class StringGridPDOReceivedDataSource;
class StringGridSDODataSource;
class TfrmCANLog;
namespace Ui {
class TMainForm;
}

/// The main window: owns the bus connector and the object-dictionary models,
/// brings up the adapter, finds and identifies the controller behind the
/// node ID (the connection workflow), keeps the status bar current and hands
/// the connected node to the pages.
///
/// Everything runs on the user-interface thread. Long operations pump the
/// event loop while they wait; SetBusy disables the pages meanwhile, and a
/// workflow or a rebuild of the object views never starts while a transfer of
/// another one is still waiting.
class TMainForm : public QMainWindow, public NodeScanHost, public DriveHost {
  Q_OBJECT
 public:
  /// Runs the start-up (FormCreate). `loader` is the library binding to use
  /// (the process-wide one when null), `libraryPath` the file whose version
  /// is checked (the application folder's libVarnex.so when empty).
  explicit TMainForm(DLLLoader* loader = nullptr, const QString& libraryPath = {}, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Operations other parts call.
  void ConnectNode(int nodeId, int bitRate, bool copyToFields) override;
  void ShowNmtState(std::uint8_t stateByte);
  void ShowDriveStateUnknown();
  void StopPolling() override;
  void SetBusy(bool busy);
  void EnableNmtButtons();
  void RebuildObjectViews();
  /// Remote frame on 0x700 + node ID; the answer reaches ShowNmtState.
  void sendNodeGuardingRequest();

  // The connection workflow.
  /// 1 connected, 0 not connected (offline included), 10 to 14 when the
  /// window began closing.
  int ConnectAdapter(bool autoConnect);
  /// The step of ReadVers that closing the window cut short, in read order.
  enum ReadVersClosed {
    kClosedHardwareName = 1,           ///< 0x1009 as a string
    kClosedHardwareNameLength,         ///< 0x1009:0, the character count
    kClosedHardwareNameCharacters,     ///< 0x1009:1..n
    kClosedObjectViews,                ///< the dictionary of the named controller
    kClosedSoftwareVersion,            ///< 0x100A as a string
    kClosedSoftwareVersionLength,      ///< 0x100A:0
    kClosedSoftwareVersionCharacters,  ///< 0x100A:1..n
    kClosedRevision,                   ///< 0x1018:3
    kClosedSerialNumber,               ///< 0x1018:4
  };
  /// 0 success, 1 to 9 closing (ReadVersClosed), -1 offline, else the
  /// failing upload's code.
  int ReadVers(bool quick);
  /// The controller name from 0x1009 (visible string or character array).
  QString ReadHardwareName(int nodeId) override;
  bool ProbeBootloader();

  DLLConnector* connector() const override { return connector_.get(); }
  // The node scan's view of the window.
  void connectScannedNode(int nodeId, int bitRatePosition) override;
  void setScanRunning(bool running) override;

  // NMT buttons; "Pre Operational" is also run by the PDO mapping page.
  void startBtnClick();
  void stopBtnClick();
  void preopButtonClick();
  void resetBtnClick();
  /// The CAN log window (created with the main window, hidden until shown).
  TfrmCANLog* canLog() const { return canLog_.get(); }
  /// The scope window (made on the first "Scope" click; null before).
  ScopeWindow* scopeWindow() const { return scope_.get(); }
  StringGridSDODataSource* sdoList() const override { return sdoList_.get(); }
  StringGridPDOReceivedDataSource* pdoView() const { return pdoView_.get(); }
  EDSDatabase& database() { return database_; }
  QString panelText(int panel) const;
  QColor panelColor(int panel) const { return panelColors_.at(std::size_t(panel)); }
  /// The node ID of MotorIdEdit (1 when empty or not a number).
  int nodeId() const override;
  /// A workflow, rebuild or waiting list operation is running.
  bool isInUse() const;
  /// The "Firmware Update" page.
  FirmwarePage* firmwarePage() const { return firmwarePage_; }
  /// While the firmware page enters the bootloader or downloads, the window
  /// leaves the bus to it: polling and node guarding stop, every other page
  /// is locked, no workflow starts and the window refuses to close.
  void setFirmwareWorkRunning(bool running);
  /// The "Drive Modes" page (power controls and drive-mode pages).
  DriveModesPage* driveModes() const { return driveModes_; }
  const MotorLib& motorLib() const { return motorLib_; }
  const DeviceLib& deviceLib() const { return deviceLib_; }
  const CLLib& clLib() const { return clLib_; }
  /// The controller the connection identified (null before, or when the
  /// device library knows neither it nor its fallback).
  const device* currentDevice() const { return currentDevice_; }

  // What the drive pages need of the window.
  bool& waitAbortedFlag() override { return waitAborted; }
  bool& pollingSuspendedFlag() override { return pollingSuspended; }
  bool statuswordByPdo() const override;
  bool isClosing() const override { return closing_; }
  QTimer* ioRefreshTimer() const override { return tmrIORefreshTimer; }
  QTimer* ipSyncTimer() const override { return IpmodeSyncTimer; }

  /// Asks for the path of a list file ("Save to File" / "Read from File");
  /// empty when the user cancels. Tests replace it.
  std::function<QString(QWidget* parent, bool save)> chooseListFile = &TMainForm::defaultListFileChooser;
  static QString defaultListFileChooser(QWidget* parent, bool save);

  // Connection state.
  bool adapterConnected = false;
  bool deviceConnected = false;
  /// The adapter lost the bus while connected; cleared when a connection
  /// workflow starts.
  bool busLost_ = false;
  bool bootloaderActive = false;
  bool pollingSuspended = false;
  bool waitAborted = false;
  bool rereadAll = false;
  bool readingAll = false;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  void tmrAutoConnectTimer();
  void canInitBtnClick();
  void comboExVendorChange();
  void tmrCanAdapter_DeviceStatusTimer();
  void tmrBitUpdateTimer();
  void tmrLifeguardTimer();
  void chkLifeguardClick();
  void TabControlChange();
  void tctlNodeConfigChange();
  void tabCtlObjMngntChange();
  void MotorIdEditChange();
  void btnClearLogErrorsClick();
  void btnShowBusLogClick();
  void btnScopeClick();
  void btnRefreshNodeInfoClick();
  void btnUpdateNodeConfigClick();
  void btnScanforNodesClick();
  void ControllerBoxChange();
  // "SDO List" page.
  void SDOAktBtnClick();
  void btnSDOListRefreshSelectedClick();
  void SDOGridDblClick();
  void eepromWrBtnClick();
  void eepromRdBtnClick();
  void SetConfigBtnClick();
  void saveFileBtnClick();
  void readFileBtnClick();
  void btnSaveAllClick();

 private:
  void FormCreate();
  void createConnector();
  void fillAdapterList();
  void createObjectViews();
  void destroyObjectViews();
  /// The entry points of the workflow: busy, flags, ConnectAdapter.
  void runConnectionWorkflow(bool autoConnect);
  void arrangeAllPages();
  void setPanel(int panel, const QString& text);
  void setNmtDisplay(const QString& state, std::uint8_t code);
  void logErrorLine(const QString& text);
  /// Runs `action` now, or once the running transfer, workflow or rebuild
  /// has finished (they would otherwise pull objects from under it).
  void whenIdle(const char* what, std::function<void()> action);
  /// AskPowerOffForSave of the power state machine; true until that exists.
  bool AskPowerOffForSave();
  /// The received-PDO grid's marking and the quick view's display modes.
  void setupPdoViews();
  /// Reads the motor, device and closed-loop libraries; a damaged file is
  /// reported once, with what could be read kept.
  void loadLibraries();
  /// Step 13 of the connection: the identified controller's description and
  /// the motor types it offers. False when the library knows neither the
  /// controller nor its fallback.
  bool chooseDevice();
  /// Quick view display mode: 0 decimal, 1 hexadecimal, 2 binary.
  void setQuickViewMode(int mode);
  /// Waits `ms` with the event loop running.
  void waitMs(int ms);
  bool isRealConnector() const;
  int peakCode() const;
  /// ReadHardwareName; `step` is left at the ReadVersClosed step of the last
  /// read it started.
  QString readHardwareName(int node, int& step);
  QString appFolder_;

  std::unique_ptr<Ui::TMainForm> ui;
  DLLLoader* loader_;
  QString libraryPath_;
  EDSDatabase database_;
  std::unique_ptr<DLLConnector> connector_;
  std::unique_ptr<StringGridSDODataSource> sdoList_;
  std::unique_ptr<StringGridPDOReceivedDataSource> pdoView_;  ///< made and gone with the list
  std::unique_ptr<TfrmCANLog> canLog_;
  std::unique_ptr<ScopeHost> scopeHost_;
  std::unique_ptr<ScopeWindow> scope_;  ///< a top-level window of its own, like the CAN log
  DriveModesPage* driveModes_ = nullptr;  ///< owned by its page of TabControl
  ErrorView* errorView_ = nullptr;        ///< owned by the page "Node Settings && Error"
  IoPage* ioPage_ = nullptr;              ///< owned by its page of TabControl
  FirmwarePage* firmwarePage_ = nullptr;  ///< owned by UpdtSheet, deleted first when the window goes
  std::unique_ptr<FirmwareHost> firmwareHost_;
  bool firmwareWorkRunning_ = false;
  MotorLib motorLib_;
  DeviceLib deviceLib_;
  CLLib clLib_;
  const device* currentDevice_ = nullptr;  ///< a record of deviceLib_
  std::unique_ptr<MotorHost> motorHost_;
  MotorSettingsPage* motorPage_ = nullptr;        ///< owned by tabMotorSettings
  ClosedLoopPage* closedLoopPage_ = nullptr;      ///< owned by tabClosedLoop
  int quickViewMode_ = 1;                  ///< hexadecimal at start
  std::array<QLabel*, 6> panels_{};
  std::array<QColor, 6> panelColors_{};
  int busyDepth_ = 0;
  std::uint8_t nmtStateCode_ = 3;
  int workflowDepth_ = 0;  ///< > 0 while a workflow, rebuild or list operation runs
  bool closing_ = false;

  QTimer* tmrAutoConnect = nullptr;
  QTimer* tmrCanAdapter_DeviceStatus = nullptr;
  QTimer* tmrBitUpdate = nullptr;
  QTimer* tmrLifeguard = nullptr;
  QTimer* tmrUpdateStatus = nullptr;
  QTimer* tmrStartBootloader = nullptr;
  QTimer* tmrError = nullptr;
  QTimer* tmrIORefreshTimer = nullptr;
  QTimer* IpmodeSyncTimer = nullptr;
};
