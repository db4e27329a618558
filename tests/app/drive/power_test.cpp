// The power controls of the drive pages against a simulated drive: power on
// from each state, power off, quick stop and halt from the controlword the
// drive holds, the waits, a stop pressed during a wait, the power-off
// question before a save.
#include "MainWindowFixture.h"

#include <QPushButton>

#include "DriveControl.h"
#include "DriveModesPage.h"
#include "StringGridPDOReceivedDataSource.h"
#include "node/Drive402.h"

namespace mainwindow_test {
namespace {

namespace cia402 = kestrum::canopen::cia402;
using P = cia402::PowerState;
using kestrum::sim::Drive402;
using kestrum::sim::SimNode;

constexpr std::uint8_t kNode = 1;

class PowerTest : public MainWindowTest {
 protected:
  void SetUp() override {
    world().addNode(kNode);
    startConnected();
    openDrivePage("tabPPMode");
  }
  DriveControl& control() { return form->driveModes()->control(); }
  /// Gives the drive a controlword as its firmware would take one, without
  /// bus traffic that the window's own transfers could mistake for answers.
  void command(std::uint16_t controlword) {
    world().host->withNode(kNode, [&](SimNode& n, std::uint64_t now) {
      ASSERT_EQ(n.writeObject(0x6040, 0, {std::uint8_t(controlword), std::uint8_t(controlword >> 8)}), 0u);
      n.behaviour<Drive402>()->written(n, 0x6040, 0, now);
    });
  }
  void withDrive(const std::function<void(Drive402&, SimNode&, std::uint64_t)>& fn) {
    world().host->withNode(kNode, [&](SimNode& n, std::uint64_t now) { fn(*n.behaviour<Drive402>(), n, now); });
  }
  std::uint16_t controlword() { return std::uint16_t(nodeValue(kNode, 0x6040)); }
  bool quickStopDown() { return widget<QPushButton>("QStopBtn")->isChecked(); }
};

TEST_F(PowerTest, PowerOnFromEachStateEnablesWithHaltSet) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
    P after;
    const char* logged;
  };
  const Case cases[] = {
      {"switch on disabled", [] {}, P::OperationEnabled, "Switched On"},
      {"ready to switch on", [this] { command(0x06); }, P::OperationEnabled, "Switched On"},
      {"switched on", [this] { command(0x06), command(0x07); }, P::OperationEnabled, "Switched On"},
      {"fault", [this] { withDrive([](Drive402& d, SimNode& n, std::uint64_t now) { d.fault(n, 0x2310, now); }); },
       P::OperationEnabled, "Fault reset"},
      {"quick stop active", [this] { setNodeValue(kNode, 0x605A, 0, 6, 2), command(0x06), command(0x0F), command(0x0B); },
       P::QuickStopActive, "Quick Stop is active"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    command(0x00);
    ASSERT_TRUE(processUntil([&] { return driveState(kNode) == P::SwitchOnDisabled || driveState(kNode) == P::Fault; }));
    c.prepare();
    ASSERT_TRUE(processUntil([&] { return driveState(kNode) != P::FaultReactionActive; }));
    log.lines.clear();
    click("Button1");
    EXPECT_EQ(driveState(kNode), c.after) << log.all().toStdString();
    EXPECT_TRUE(log.contains(c.logged)) << log.all().toStdString();
    if (c.after == P::OperationEnabled) {
      EXPECT_EQ(controlword() & 0x01FF, 0x010F);  // halt stays set until a Start
      EXPECT_EQ(widget<QPushButton>("btnPPModeHalt")->text(), "HALT set");
      EXPECT_FALSE(quickStopDown());
    }
    EXPECT_TRUE(widget("Button1")->isEnabled());
  }
  log.lines.clear();
  click("pwrOnBtn");  // the panel's pair does the same
  EXPECT_TRUE(log.contains("Quick Stop is active"));
}

TEST_F(PowerTest, PowerOffQuickStopAndHaltActOnTheDrivesControlword) {
  click("Button1");
  ASSERT_EQ(driveState(kNode), P::OperationEnabled);

  click("HaltButton");  // halt toggles off, then on again
  EXPECT_EQ(controlword(), 0x000F);
  EXPECT_EQ(widget<QPushButton>("btnVelocityHalt")->text(), "HALT clear");
  click("btnPPModeHalt");
  EXPECT_EQ(controlword(), 0x010F);
  EXPECT_EQ(widget<QPushButton>("btnVelocityHalt")->text(), "HALT set");

  click("QStopBtn");
  EXPECT_EQ(controlword(), 0x010B);
  EXPECT_TRUE(quickStopDown());
  ASSERT_TRUE(processUntil([&] { return driveState(kNode) == P::SwitchOnDisabled; }));  // option 2 ends there
  click("QStopBtn");  // released: the drive stays off, as nothing switches it on
  EXPECT_EQ(controlword(), 0x010F);
  EXPECT_FALSE(quickStopDown());
  EXPECT_EQ(driveState(kNode), P::SwitchOnDisabled);

  click("Button1");
  ASSERT_EQ(driveState(kNode), P::OperationEnabled);
  log.lines.clear();
  click("Button2");
  ASSERT_TRUE(processUntil([&] { return log.contains("Switched Off"); }));
  EXPECT_EQ(controlword(), 0x0100);
  EXPECT_EQ(driveState(kNode), P::SwitchOnDisabled);
  EXPECT_TRUE(widget("Button1")->isEnabled());
}

TEST_F(PowerTest, StopDuringAWaitGoesOutOnceTheBusIsFree) {
  click("Button1");
  ASSERT_EQ(driveState(kNode), P::OperationEnabled);
  // A wait for a bit that never comes, ended by Power Off pressed meanwhile:
  // the press finds the wait's statusword read under way.
  QTimer::singleShot(300, form.get(), [this] { click("Button2"); });
  control().beginRun();
  EXPECT_FALSE(control().WaitStatus(0, 0x8000, false));
  ASSERT_TRUE(processUntil([&] { return log.contains("Switched Off"); })) << log.all().toStdString();
  EXPECT_EQ(driveState(kNode), P::SwitchOnDisabled);
  EXPECT_FALSE(log.contains("TIMEOUT"));

  // A wait that runs out stops the window's polling.
  form->ipSyncTimer()->start();
  control().beginRun();
  EXPECT_FALSE(control().WaitStatus(3, 0x8000, true));
  EXPECT_TRUE(log.contains("TIMEOUT while waiting for Status"));
  EXPECT_FALSE(form->ipSyncTimer()->isActive());
  EXPECT_FALSE(form->pollingSuspended);
}

TEST_F(PowerTest, SilentDriveEndsPowerOnWithTheControlsBack) {
  world().host->setSilent(kNode, true);
  log.lines.clear();
  click("Button1");
  EXPECT_TRUE(log.contains("Power On: the drive did not answer")) << log.all().toStdString();
  EXPECT_TRUE(widget("Button1")->isEnabled());
  EXPECT_TRUE(widget("QStopBtn")->isEnabled());
  world().host->setSilent(kNode, false);
}

TEST_F(PowerTest, SaveAllAsksToSwitchThePowerOff) {
  widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabObjMngt"));
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(20s)));
  EXPECT_TRUE(control().AskPowerOffForSave());  // not powered: nothing asked
  EXPECT_TRUE(boxes.boxes().empty());

  click("Button1");
  ASSERT_EQ(driveState(kNode), P::OperationEnabled);
  boxes.answerNext(QMessageBox::No);
  EXPECT_TRUE(control().AskPowerOffForSave());  // saved with the power on
  EXPECT_EQ(driveState(kNode), P::OperationEnabled);
  boxes.answerNext(QMessageBox::Yes);
  EXPECT_TRUE(control().AskPowerOffForSave());
  EXPECT_TRUE(boxShown("Turn off power now?"));
  EXPECT_EQ(driveState(kNode), P::SwitchOnDisabled);
}

TEST_F(PowerTest, StatuswordFollowsTheDrivesPdoWhenOperational) {
  click("startBtn");
  click("chkLifeguard");  // node guarding brings the NMT state to the status bar
  ASSERT_TRUE(processUntil([&] { return form->panelText(4) == "Drivestate: Operational"; }, scaled(5s)));
  ASSERT_TRUE(form->statuswordByPdo());  // transmit PDO 1 carries the statusword by default
  click("Button1");
  ASSERT_EQ(driveState(kNode), P::OperationEnabled);
  // A fault the drive reports on its own shows without any read by the window.
  BusRecorder bus(*world().bus);
  withDrive([](Drive402& d, SimNode& n, std::uint64_t now) { d.fault(n, 0x2310, now); });
  EXPECT_TRUE(processUntil([&] { return text("lblSWBit3") == "1"; }, scaled(5s)));
  EXPECT_EQ(bus.requestsTo(kNode), 0u);
  EXPECT_EQ(list().getValue("6041", 0, false).toInt() & 0x4F, 0x08);

  // Objects after the statusword, in the byte order of the frame.
  auto* view = form->pdoView();
  list().setValue("1A00", 2, "0x60640020", false);
  list().setValue("1A00", 0, "2", false);
  view->clearMapping();
  view->addMappedObject(1, 1, list().findEntry("6041", 0));
  view->addMappedObject(1, 2, list().findEntry("6064", 0));
  view->buildRows();
  ConnectorFrame frame;
  const std::uint8_t data[] = {0x37, 0x06, 0x10, 0x27, 0x00, 0x00};
  std::copy(std::begin(data), std::end(data), frame.data);
  frame.dlc = 6;
  view->updateFromPdo(1, frame);
  EXPECT_EQ(list().getValue("6041", 0, false), "1591");
  EXPECT_EQ(list().getValue("6064", 0, false), "10000");
  EXPECT_EQ(text("lblSWBit10"), "1");
  EXPECT_TRUE(view->isObjectMapped("0x6064", 0));
  EXPECT_FALSE(view->isObjectMapped("6064", 1));
}

}  // namespace
}  // namespace mainwindow_test
