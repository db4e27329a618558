// NMT buttons, node information refresh and node settings of the main window,
// and the windows it wires in: the CAN log and the version report.

#include "MainWindowFixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>

#include "TfrmCANLog.h"

namespace mainwindow_test {
namespace {

class NodePageTest : public MainWindowTest {
 protected:
  void click(const char* button) {
    auto* b = widget<QPushButton>(button);
    EXPECT_TRUE(b->isEnabled()) << button;
    b->click();
  }
  /// The NMT frames (identifier 0) on the bus, as "command node".
  static QStringList nmtFrames(const BusRecorder& recorder) {
    QStringList out;
    for (const auto& f : recorder.frames())
      if (f.id == 0 && f.dlc == 2) out << QStringLiteral("%1 %2").arg(f.data[0], 2, 16, QLatin1Char('0')).arg(f.data[1]);
    return out;
  }
  std::int64_t nodeObject(std::uint16_t index, std::uint8_t sub) {
    kestrum::sim::Bytes bytes;
    std::uint32_t abort = 0;
    if (!world().host->readObject(1, index, sub, bytes, abort) || bytes.empty()) return -1;
    return bytes[0];
  }
};

TEST_F(NodePageTest, NmtButtonsSendTheirCommandsAndStopAndResetEndAPendingExchange) {
  world().addNode(1);
  startConnected();
  BusRecorder recorder(*world().bus);
  for (const char* button : {"startBtn", "stopBtn", "preopButton", "resetBtn"}) click(button);
  ASSERT_TRUE(processUntil([&] { return nmtFrames(recorder).size() == 4; }));
  EXPECT_EQ(nmtFrames(recorder), (QStringList{"01 1", "02 1", "80 1", "81 1"}));

  // A read the node no longer answers ends at "Stop Node" / "Reset Node",
  // not at its time-out, and does not take an earlier answer for its own.
  DLLConnector* connector = form->connector();
  ASSERT_EQ(connector->readObject(1, 0x1018, 0, TYPE_U8, 1000).code, 0);
  world().host->setSilent(1, true);
  for (const char* button : {"stopBtn", "resetBtn"}) {
    QTimer::singleShot(100, form.get(), [this, button] { widget<QPushButton>(button)->click(); });
    QElapsedTimer elapsed;
    elapsed.start();
    const SDOResult pending = connector->readObject(1, 0x1018, 0, TYPE_U8, 5000);
    EXPECT_LT(elapsed.elapsed(), 2000) << button;
    EXPECT_NE(pending.code, 0) << button;
    EXPECT_FALSE(connector->isQueryPending());
  }
  ASSERT_TRUE(processUntil([&] { return nmtFrames(recorder).size() == 6; }));
  EXPECT_EQ(nmtFrames(recorder).mid(4), (QStringList{"02 1", "81 1"}));
}

TEST_F(NodePageTest, UpdateNodeConfigurationWritesNodeIdAndBitRateCode) {
  world().addNode(1);
  startConnected();
  EXPECT_EQ(widget<QLineEdit>("txtNodeID")->text(), "1");  // copied at the connection
  EXPECT_EQ(widget<QComboBox>("cmbBaudrates")->currentText(), "1000");
  BusRecorder recorder(*world().bus);
  widget<QLineEdit>("txtNodeID")->setText("5");
  widget<QComboBox>("cmbBaudrates")->setCurrentText("250");
  click("btnUpdateNodeConfig");
  ASSERT_TRUE(processUntil([&] { return recorder.downloads(1).size() == 2 && !form->isInUse(); }));
  EXPECT_EQ(recorder.downloads(1), (std::vector<std::uint16_t>{0x2009, 0x2005}));
  EXPECT_EQ(nodeObject(0x2009, 0), 5);
  EXPECT_EQ(nodeObject(0x2005, 0), 133);
  // The application keeps its own node and rate; the controller changes
  // only after a store and a restart.
  EXPECT_EQ(widget<QLineEdit>("MotorIdEdit")->text(), "1");
  EXPECT_EQ(widget<QComboBox>("BaudrateCombo")->currentText(), "1000");
  EXPECT_FALSE(log.contains("Couldn't set"));

  // A node ID the controller refuses is logged; the bit rate is written all the same.
  widget<QLineEdit>("txtNodeID")->setText("200");
  widget<QComboBox>("cmbBaudrates")->setCurrentText("20");
  click("btnUpdateNodeConfig");
  ASSERT_TRUE(processUntil([&] { return recorder.downloads(1).size() == 4 && !form->isInUse(); }));
  EXPECT_TRUE(log.contains("Couldn't set the NodeID to 200")) << log.all().toStdString();
  EXPECT_FALSE(log.contains("Couldn't set the Baudrate"));
  EXPECT_EQ(nodeObject(0x2009, 0), 5);
  EXPECT_EQ(nodeObject(0x2005, 0), 130);

  // Leaving the field empty writes "1".
  auto* field = widget<QLineEdit>("txtNodeID");
  field->setText("");
  QFocusEvent focusOut(QEvent::FocusOut);
  QCoreApplication::sendEvent(field, &focusOut);
  EXPECT_EQ(field->text(), "1");
}

TEST_F(NodePageTest, RefreshNodeInfoReadsTheIdentityAgain) {
  world().addNode(1);
  startConnected();
  form->deviceConnected = false;
  BusRecorder recorder(*world().bus);
  click("btnRefreshNodeInfo");
  ASSERT_TRUE(processUntil([&] { return !form->isInUse(); }, scaled(10s)));
  EXPECT_TRUE(form->deviceConnected);
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
  EXPECT_EQ(text("lblSWVersion"), "V2.14");
  EXPECT_EQ(text("lblCANRevision"), QString::number(0x00020014));
  EXPECT_EQ(text("lblSerialNumber"), QString::number(kestrum::sim::SimNode::serialNumber("Mirelo", 1)));
  EXPECT_TRUE(widget("btnRefreshNodeInfo")->isEnabled());
  EXPECT_TRUE(processUntil([&] {
    for (const auto& f : recorder.frames())
      if (f.id == 0x701 && f.remote) return true;
    return false;
  })) << "no node-guarding request after the refresh";

  // An unreachable node leaves "-" where nothing arrived and the flag as it was.
  world().host->setSilent(1, true);
  click("btnRefreshNodeInfo");
  ASSERT_TRUE(processUntil([&] { return !form->isInUse(); }, scaled(20s)));
  for (const char* label : {"lblSWVersion", "lblCANRevision", "lblSerialNumber"}) EXPECT_EQ(text(label), "-") << label;
  EXPECT_TRUE(form->deviceConnected);
  EXPECT_TRUE(widget("btnRefreshNodeInfo")->isEnabled());
}

TEST_F(NodePageTest, RefreshNodeInfoOfflineShowsOfflineAndKeepsTheFlag) {
  startConnected(false);
  form->deviceConnected = false;
  click("btnRefreshNodeInfo");
  ASSERT_TRUE(processUntil([&] { return !form->isInUse(); }));
  EXPECT_EQ(text("lblHWDevice"), "--OFFLINE--");
  for (const char* label : {"lblSWVersion", "lblCANRevision", "lblSerialNumber"}) EXPECT_EQ(text(label), "") << label;
  EXPECT_FALSE(form->deviceConnected);
}

TEST_F(NodePageTest, CanLogShowsTheNodesFramesAndInfoShowsTheVersionReport) {
  world().addNode(1);
  startConnected();
  TfrmCANLog* canLog = form->canLog();
  ASSERT_TRUE(canLog);
  EXPECT_FALSE(canLog->isVisible());
  click("btnShowBusLog");
  EXPECT_TRUE(canLog->isVisible());

  ASSERT_EQ(form->connector()->readObject(1, 0x1018, 4, TYPE_U32, 1000).code, 0);
  world().host->raiseEmergency(1, 0x4310);
  QTemporaryDir dir;
  const QString path = dir.filePath("bus.log");
  QString text;
  auto logged = [&](const char* line) {
    if (!canLog->saveLog(path, TfrmCANLog::LogFormat::Candump)) return false;
    QFile file(path);
    text = file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
    return text.contains(QLatin1String(line));
  };
  EXPECT_TRUE(processUntil([&] { return logged(" can0 081#1043"); })) << text.toStdString();
  EXPECT_TRUE(text.contains(" can0 601#4018100400000000")) << text.toStdString();
  EXPECT_TRUE(text.contains(" can0 581#43181004")) << text.toStdString();

  // Info: the version report, one line per row, read-only.
  auto* memo = widget<QPlainTextEdit>("Memo1");
  EXPECT_TRUE(memo->isReadOnly());
  const QStringList lines = memo->toPlainText().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 24);
  // The record this executable carries (version_record.cpp): the project's version.
  EXPECT_EQ(lines[2], "  Software Version: " KESTRUM_TEST_VERSION);
  EXPECT_EQ(form->windowTitle(), "Kestrum " KESTRUM_TEST_VERSION);
  EXPECT_EQ(lines[23].left(11), "  Version: ");

  // Closing the main window closes the log window with it.
  form->close();
  EXPECT_EQ(form->canLog(), nullptr);
}

}  // namespace
}  // namespace mainwindow_test
