// The node scan window against simulated controllers at chosen bit rates:
// rows, the first bit rate that finds nodes ends the scan, vendors other than
// the maker, connecting from a row (also while the scan runs), empty ranges.

#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTableWidget>

#include "TfrmSearch.h"
#include "canopen/Orvane.h"

namespace mainwindow_test {
namespace {

class ScanTest : public MainWindowTest {
 protected:
  void addNodeAt(std::uint8_t id, unsigned kbit) {
    std::string error;
    ASSERT_TRUE(world().host->addNode(id, "Mirelo", error, kbit)) << error;
  }
  /// Opens a scan window from the main window's "Scan" button.
  TfrmSearch* openScan() {
    widget<QPushButton>("btnScanforNodes")->click();
    const auto windows = form->findChildren<TfrmSearch*>();
    return windows.isEmpty() ? nullptr : windows.last();
  }
  template <typename T = QWidget>
  static T* in(TfrmSearch* scan, const char* name) {
    T* w = scan->findChild<T*>(QLatin1String(name));
    EXPECT_TRUE(w) << name;
    return w;
  }
  static void setRange(TfrmSearch* scan, const char* from, const char* to) {
    in<QLineEdit>(scan, "txtNodeIDFrom")->setText(QLatin1String(from));
    in<QLineEdit>(scan, "txtNodeIDTo")->setText(QLatin1String(to));
  }
  static void tickRates(TfrmSearch* scan, std::initializer_list<int> boxes) {
    for (int i = 1; i <= 6; ++i)
      in<QCheckBox>(scan, QStringLiteral("chkBaudrate%1").arg(i).toLatin1().constData())
          ->setChecked(std::find(boxes.begin(), boxes.end(), i) != boxes.end());
  }
  static QStringList rows(TfrmSearch* scan) {
    auto* grid = in<QTableWidget>(scan, "searchGrid");
    QStringList out;
    for (int r = 0; r < grid->rowCount(); ++r) {
      QStringList cells;
      for (int c = 0; c < 4; ++c) cells << (grid->item(r, c) ? grid->item(r, c)->text() : QString());
      out << cells.join(QLatin1Char('|'));
    }
    return out;
  }
  int probes() const {
    int n = 0;
    for (const QString& line : log.lines) n += line.contains(QLatin1String("Connecting to Node: "));
    return n;
  }
  /// Selects a result row and connects to it; the connection workflow runs.
  void connectTo(TfrmSearch* scan, int row) {
    in<QTableWidget>(scan, "searchGrid")->selectRow(row);
    EXPECT_TRUE(in(scan, "btnConnect")->isEnabled());
    in<QPushButton>(scan, "btnConnect")->click();
    ASSERT_TRUE(processUntil([&] { return !form->isInUse() && log.contains("Connected"); }, scaled(15s)))
        << log.all().toStdString();
  }
};

TEST_F(ScanTest, FindsTheNodesAtOneRateAndConnectsToOne) {
  addNodeAt(3, 1000);
  addNodeAt(5, 1000);
  std::uint32_t abortCode = 0;
  // Node 3 reports another maker: its product code stands in for the name.
  world().host->writeObject(3, 0x1018, 1, {0x34, 0x12, 0, 0}, abortCode);
  world().host->writeObject(3, 0x1018, 2, {0x67, 0x12, 0, 0}, abortCode);
  startConnected();

  TfrmSearch* scan = openScan();
  ASSERT_TRUE(scan);
  EXPECT_TRUE(scan->isVisible());
  setRange(scan, "2", "6");
  tickRates(scan, {1, 2});  // 1000 finds the nodes, so 500 is never tried
  log.lines.clear();
  in<QPushButton>(scan, "btnStartSearch")->click();  // returns when the scan is done
  EXPECT_EQ(rows(scan), (QStringList{"3|Unkown|4711|1000", "5|Orvane|Mirelo|1000"}));
  EXPECT_EQ(probes(), 5);
  EXPECT_TRUE(in(scan, "btnStartSearch")->isEnabled());
  EXPECT_FALSE(in(scan, "btnStopSearch")->isEnabled());
  EXPECT_FALSE(in(scan, "btnConnect")->isEnabled());

  widget<QComboBox>("BaudrateCombo")->setCurrentIndex(3);
  log.lines.clear();
  connectTo(scan, 1);
  EXPECT_FALSE(scan->isVisible());
  EXPECT_EQ(widget<QLineEdit>("MotorIdEdit")->text(), "5");
  EXPECT_EQ(widget<QComboBox>("BaudrateCombo")->currentIndex(), 0);
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
  EXPECT_TRUE(form->deviceConnected);
}

TEST_F(ScanTest, TheFirstRateWithNodesEndsTheScanAndConnectSelectsItsPosition) {
  addNodeAt(4, 500);
  addNodeAt(5, 500);
  addNodeAt(6, 250);  // would be found at 250, which is never tried
  startConnected();
  TfrmSearch* scan = openScan();
  ASSERT_TRUE(scan);
  setRange(scan, "4", "6");
  tickRates(scan, {1, 2, 3});
  log.lines.clear();
  in<QPushButton>(scan, "btnStartSearch")->click();
  // At 1000 kbit/s nobody hears the adapter; at 500 nodes 4 and 5 answer.
  EXPECT_EQ(rows(scan), (QStringList{"4|Orvane|Mirelo|500", "5|Orvane|Mirelo|500"}));
  EXPECT_EQ(probes(), 6);

  log.lines.clear();
  connectTo(scan, 0);
  EXPECT_EQ(widget<QLineEdit>("MotorIdEdit")->text(), "4");
  EXPECT_EQ(widget<QComboBox>("BaudrateCombo")->currentText(), "500");
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
}

TEST_F(ScanTest, ConnectDuringTheScanConnectsAfterTheRunningProbe) {
  addNodeAt(2, 20);
  startConnected();
  TfrmSearch* scan = openScan();
  ASSERT_TRUE(scan);
  setRange(scan, "", "0");  // empty and "0" fall back to 1 and 127
  tickRates(scan, {6});
  auto* grid = in<QTableWidget>(scan, "searchGrid");
  // Acts from inside the scan's waits, as the user would.
  QTimer watcher;
  bool stopSeenEnabled = false;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    stopSeenEnabled = stopSeenEnabled || in(scan, "btnStopSearch")->isEnabled();
    if (grid->item(0, 0) && scan->isVisible()) {
      grid->selectRow(0);
      in<QPushButton>(scan, "btnConnect")->click();
    }
  });
  watcher.start(50);
  log.lines.clear();
  in<QPushButton>(scan, "btnStartSearch")->click();
  watcher.stop();
  EXPECT_TRUE(stopSeenEnabled);
  EXPECT_FALSE(scan->isVisible());
  EXPECT_LE(probes(), 4) << "the scan went on after Connect";
  ASSERT_TRUE(processUntil([&] { return !form->isInUse() && log.contains("Connected"); }, scaled(15s)))
      << log.all().toStdString();
  EXPECT_EQ(widget<QLineEdit>("MotorIdEdit")->text(), "2");
  EXPECT_EQ(widget<QComboBox>("BaudrateCombo")->currentIndex(), 5);
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
}

TEST_F(ScanTest, StopAndCancelEndTheScanAndAnEmptyRangeProbesNothing) {
  startConnected();
  TfrmSearch* scan = openScan();
  ASSERT_TRUE(scan);
  setRange(scan, "10", "5");
  log.lines.clear();
  in<QPushButton>(scan, "btnStartSearch")->click();
  EXPECT_EQ(probes(), 0);
  EXPECT_TRUE(rows(scan).isEmpty());
  EXPECT_TRUE(in(scan, "btnStartSearch")->isEnabled());
  EXPECT_FALSE(in(scan, "btnStopSearch")->isEnabled());

  // Stop during the first probe's pause ends the scan of 1..127.
  setRange(scan, "1", "127");
  QTimer::singleShot(100, scan, [&] { in<QPushButton>(scan, "btnStopSearch")->click(); });
  in<QPushButton>(scan, "btnStartSearch")->click();
  EXPECT_EQ(probes(), 1);
  // Cancel hides the window and ends a scan the same way; the next start
  // scans again.
  QTimer::singleShot(100, scan, [&] { in<QPushButton>(scan, "btnCancel")->click(); });
  in<QPushButton>(scan, "btnStartSearch")->click();
  EXPECT_EQ(probes(), 2);
  EXPECT_FALSE(scan->isVisible());

  // Every "Scan" opens a further window; with the offline connector none.
  EXPECT_NE(openScan(), scan);
  chooseAdapter("offline");
  const int windows = int(form->findChildren<TfrmSearch*>().size());
  widget<QPushButton>("btnScanforNodes")->click();
  EXPECT_EQ(form->findChildren<TfrmSearch*>().size(), windows);
}

TEST_F(ScanTest, QuickScanInitialisesOncePerRateAndListsEachNodeOnce) {
  addNodeAt(1, 1000);
  addNodeAt(127, 1000);
  addNodeAt(64, 500);
  startConnected();
  setNodeValue(1, 0x1017, 0, 5, 2);  // node 1 also sends a heartbeat every 5 ms
  TfrmSearch* scan = openScan();
  ASSERT_TRUE(scan);
  auto* quick = in<QCheckBox>(scan, "chkQuickScan");
  EXPECT_FALSE(quick->isChecked()) << "the node-by-node scan stays the default";
  quick->setChecked(true);
  tickRates(scan, {1, 2});
  setRange(scan, "1", "127");
  log.lines.clear();
  in<QPushButton>(scan, "btnStartSearch")->click();
  // 1000 kbit/s finds nodes 1 and 127, so 500 is not tried, as in the other scan.
  EXPECT_EQ(rows(scan), (QStringList{"1|Orvane|Mirelo|1000", "127|Orvane|Mirelo|1000"}));
  EXPECT_EQ(probes(), 1);
  EXPECT_TRUE(in(scan, "btnStartSearch")->isEnabled());

  // At 500 kbit/s only: node 64, once.
  tickRates(scan, {2});
  log.lines.clear();
  in<QPushButton>(scan, "btnStartSearch")->click();
  EXPECT_EQ(rows(scan), (QStringList{"64|Orvane|Mirelo|500"}));
  EXPECT_EQ(probes(), 1);
  log.lines.clear();
  connectTo(scan, 0);
  EXPECT_EQ(widget<QLineEdit>("MotorIdEdit")->text(), "64");
  EXPECT_EQ(widget<QComboBox>("BaudrateCombo")->currentText(), "500");
}

}  // namespace
}  // namespace mainwindow_test
