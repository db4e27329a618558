#pragma once
#include <QWidget>

#include <memory>

class NodeScanHost;
class QCheckBox;
class QEventLoop;
namespace Ui {
class TfrmSearch;
}

/// The window "Search": scans the bus for CANopen nodes. For each ticked bit
/// rate (1000 down to 20 kbit/s) and each node ID of the range it
/// re-initialises the adapter for that node, waits for it to settle, asks for
/// the identity object 0x1018 and lists every node that answers with vendor,
/// controller and bit rate. The first bit rate that produces a node ends the
/// scan once its range is done. From the list the user connects the main
/// window to a node.
///
/// Everything runs on the user-interface thread. The waits of a scan run the
/// event loop, so "Stop Search", "Cancel" and "Connect" act while it runs: a
/// stop takes effect after the current probe, and a connection chosen during
/// a scan is made as soon as that probe has ended (the scan owns the adapter
/// and the single SDO exchange until then).
class TfrmSearch : public QWidget {
  Q_OBJECT
 public:
  /// `host` (the main window) outlives the scan window.
  explicit TfrmSearch(NodeScanHost* host, QWidget* parent = nullptr);
  ~TfrmSearch() override;

  /// Pause between the adapter's initialisation for a node and its first read.
  static constexpr int kSettleMs = 600;
  /// Time-out of every read of a probe.
  static constexpr int kProbeTimeoutMs = 200;
  /// Pause of the quick scan between the adapter's initialisation and its
  /// requests: the adapter's connection is up once init returns.
  static constexpr int kQuickSettleMs = 50;

  bool isScanning() const { return scanning_; }

  // Handlers of the window's controls.
  void btnStartSearchClick();
  void btnStopSearchClick();
  void btnCancelClick();
  void btnConnectClick();
  void searchGridSelectCell();

 protected:
  void closeEvent(QCloseEvent* event) override;  ///< FormClose
  void showEvent(QShowEvent* event) override;

 private:
  /// One node at one bit rate; true when it answered and got its row.
  bool probe(int node, int rate);
  /// The quick scan of first..last at one bit rate (QuickScan.h): the
  /// adapter initialised once, every node ID asked at once; true when a
  /// node was found.
  bool quickScan(int first, int last, int rate);
  /// Lists a node that answered with its vendor and controller.
  void identifyAndAdd(int node, int rate, bool hostAddressesNode);
  /// Waits with the event loop running; false when the scan was stopped meanwhile.
  bool waitMs(int ms);
  void requestStop();
  void addRow(int node, const QString& vendor, const QString& controller, int rate);

  std::unique_ptr<Ui::TfrmSearch> ui;
  NodeScanHost* host_;
  QCheckBox* rateBoxes_[6] = {};
  QEventLoop* wait_ = nullptr;  ///< the running pause, ended early by a stop
  bool stopRequested = false;
  bool scanning_ = false;
  bool centred_ = false;
  int pendingNode_ = 0;  ///< a connection chosen while the scan ran
  int pendingRatePosition_ = -1;
};
