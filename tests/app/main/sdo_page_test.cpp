// The "SDO List" page against the simulated controller: Read All, Save All,
// list files, EEPROM, emergencies, closing during a wait, and errors that
// reach the event loop.

#include "MainWindowFixture.h"

#include <QFile>
#include <QPushButton>
#include <QTableView>
#include <QTest>

namespace mainwindow_test {
namespace {

class SdoPageTest : public MainWindowTest {
 protected:
  void connectAndRead() {
    world().addNode(1);
    startConnected();
    openSdoList();
    ASSERT_TRUE(list().isAllRead()) << log.all().toStdString();
  }
  void click(const char* button) { QTest::mouseClick(widget<QPushButton>(button), Qt::LeftButton); }
  QString nodeValue32(std::uint16_t index, std::uint8_t sub) {
    kestrum::sim::Bytes bytes;
    std::uint32_t abort = 0;
    if (!world().host->readObject(1, index, sub, bytes, abort) || bytes.size() < 4) return "?";
    return QString::number(std::uint32_t(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t(bytes[3]) << 24));
  }
};

TEST_F(SdoPageTest, ReadAllStopsAtTheThirdFailure) {
  connectAndRead();
  const QString row4Message = list().entryAtRow(4)->message;
  world().host->setSilent(1, true);
  click("SDOAktBtn");
  EXPECT_EQ(text("PollingLabel"), "Reading all failed");
  for (int row = 1; row <= 3; ++row)
    EXPECT_EQ(list().entryAtRow(row)->message, "protocol: no answer within timeout") << row;
  EXPECT_EQ(list().entryAtRow(4)->message, row4Message);  // not read again
  EXPECT_TRUE(widget("TabControl")->isEnabled());
  EXPECT_EQ(form->findChild<QWidget*>("frmReadProgress"), nullptr);
  EXPECT_TRUE(log.contains("Reading SDO [0x1000] failed: Error2, Error Code:0: protocol: no answer within timeout"));
}

TEST_F(SdoPageTest, SaveAllLeavesStoreCommandsTheControlwordAndPdosAlone) {
  connectAndRead();
  ASSERT_NE(list().getValue("1010", 1, false), QString::number(StringGridSDODataSource::kSaveSignature));
  list().setValue("6040", 0, "15", false);
  list().setValue("6081", 0, "2345", false);
  BusRecorder recorder(*world().bus);
  click("btnSaveAll");
  const std::vector<std::uint16_t> written = recorder.downloads(1);
  EXPECT_FALSE(written.empty());
  for (std::uint16_t index : written) {
    EXPECT_NE(index, 0x1010);
    EXPECT_NE(index, 0x6040);
    EXPECT_FALSE(index >= 0x1400 && index <= 0x1A03) << std::hex << index;
  }
  EXPECT_EQ(list().findEntry("1800", 1)->message, "SKIPPED");
  EXPECT_EQ(list().findEntry("6081", 0)->message, "WRITE OK");
  EXPECT_EQ(nodeValue32(0x6081, 0), "2345");
}

TEST_F(SdoPageTest, ListFilesRoundTripWithoutBusTraffic) {
  connectAndRead();
  QTemporaryDir dir;
  const QString file = dir.filePath("values.log");
  form->chooseListFile = [&file](QWidget*, bool) { return file; };
  const QString velocity = list().getValue("6081", 0, false);
  click("saveFileBtn");
  ASSERT_TRUE(QFile::exists(file));

  list().setValue("6081", 0, "99", false);
  BusRecorder recorder(*world().bus);
  click("readFileBtn");
  EXPECT_EQ(list().getValue("6081", 0, false), velocity);
  EXPECT_EQ(recorder.requestsTo(1), 0u);

  // A file with a title line has five fields.
  QFile titled(file);
  ASSERT_TRUE(titled.open(QIODevice::WriteOnly | QIODevice::Truncate));
  titled.write("ID\t|Sub\t|Type\t|Value\t|Description\r\n0x6081\t|0\t|u32\t|777\t|Profile velocity\r\n");
  titled.close();
  click("readFileBtn");
  EXPECT_EQ(list().getValue("6081", 0, false), "777");
}

TEST_F(SdoPageTest, ErrorsReachingTheEventLoopShowABoxAndTheWindowGoesOn) {
  world().addNode(1);
  startConnected();
  QTemporaryDir dir;
  const QString file = dir.filePath("bad.log");
  QFile bad(file);
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write("6081\t|zero\t|5\t|Profile velocity\r\n");
  bad.close();
  form->chooseListFile = [&file](QWidget*, bool) { return file; };
  widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabObjMngt"));
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(20s)));
  click("readFileBtn");
  ASSERT_TRUE(boxShown("zero is not a valid integer value!"));
  EXPECT_EQ(boxes.boxes().back().icon, QMessageBox::Critical);
  // Still working: a button click runs a transfer.
  click("btnSDOListRefreshSelected");
  EXPECT_TRUE(widget("TabControl")->isEnabled());
  EXPECT_TRUE(form->isVisible());
}

TEST_F(SdoPageTest, SavedParametersSurviveAPowerCycle) {
  connectAndRead();
  ASSERT_TRUE(list().setValue("6081", 0, "4321", true));
  click("eepromWrBtn");
  EXPECT_EQ(list().findEntry("1010", 1)->message, "WRITE OK");
  EXPECT_FALSE(log.contains("[Write EEPROM] failed"));
  ASSERT_TRUE(list().setValue("6083", 0, "777", true));  // changed after the store

  world().host->powerCycle(1);
  ASSERT_TRUE(processUntil([this] { return nodeValue32(0x6081, 0) != "?"; }));
  // Only a read from the restarted node brings the stored value back into the
  // list; read until it answers.
  ASSERT_TRUE(list().setValue("6081", 0, "0", false));
  ASSERT_TRUE(processUntil([this] { return list().getValue("6081", 0, true) == "4321"; }));
  EXPECT_EQ(list().getValue("6081", 0, true), "4321");
  EXPECT_NE(list().getValue("6083", 0, true), "777");
}

TEST_F(SdoPageTest, EmergencyWithCode3100StopsPolling) {
  connectAndRead();
  auto* polling = form->findChild<QTimer*>("tmrIORefreshTimer");
  auto* sync = form->findChild<QTimer*>("IpmodeSyncTimer");
  polling->start();
  sync->start();
  world().host->raiseEmergency(1, 0x3100);
  ASSERT_TRUE(processUntil([&] { return !polling->isActive(); }));
  EXPECT_FALSE(sync->isActive());
  EXPECT_TRUE(log.contains("EMERGENCY: "));
}

TEST_F(SdoPageTest, ClosingDuringAWaitEndsItAndSendsNothingMore) {
  connectAndRead();
  world().host->setAnswerDelayMs(1, 1500);
  auto* grid = widget<QTableView>("SDOGrid");
  grid->setCurrentIndex(grid->model()->index(40, 0));
  QTimer::singleShot(200, form.get(), [this] { form->close(); });
  BusRecorder recorder(*world().bus);
  const auto started = std::chrono::steady_clock::now();
  click("btnSDOListRefreshSelected");
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_LT(waited, 1400ms);  // before the node's answer and the time-out
  EXPECT_FALSE(form->isVisible());
  const std::size_t sent = recorder.requestsTo(1);
  EXPECT_EQ(sent, 1u);  // the one request that was waiting
  // Once the late answer is in, a read still running would send the next
  // request at once.
  ASSERT_TRUE(processUntil([&] {
    for (const auto& f : recorder.frames())
      if (f.id == 0x581) return true;
    return false;
  }));
  QCoreApplication::processEvents();
  EXPECT_EQ(recorder.requestsTo(1), sent);
}

}  // namespace
}  // namespace mainwindow_test
