// The connection workflow: offline work, switching adapters, a node ID
// without a node, node pages without a device, the NMT state display.

#include "MainWindowFixture.h"

namespace mainwindow_test {
namespace {

class ConnectionTest : public MainWindowTest {};

TEST_F(ConnectionTest, WithoutTheLibraryItWorksOfflineFromTheDefaults) {
  startConnected(false);
  EXPECT_EQ(comboItems("comboExVendor"), QStringList{"offline"});
  EXPECT_EQ(form->panelText(0), "Peak driver not found.");
  EXPECT_EQ(form->panelText(1), "0 IXXAT Device(s) found.");
  EXPECT_FALSE(widget("SelectCanCheckBox")->isEnabled());
  EXPECT_TRUE(log.contains("Connecting to Node: 1"));
  EXPECT_TRUE(log.contains("Connected")) << log.all().toStdString();
  EXPECT_EQ(text("lblHWDevice"), "--OFFLINE--");
  EXPECT_EQ(text("lblSWVersion"), "");
  EXPECT_EQ(form->connector()->getClassName(), "DLLConnectorEmpty");
  EXPECT_TRUE(form->database().file()->path.endsWith("EDS_Default.xml"));
  // Offline there is neither an adapter nor a device to show as connected.
  ASSERT_TRUE(processUntil([this] {
    return form->panelText(2) == "CAN Adapter: disconnected" && form->panelText(3) == "CAN Device: disconnected";
  })) << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();
  EXPECT_EQ(form->panelText(3), "CAN Device: disconnected");

  // Node pages open without a device; the list shows the EDS defaults and
  // its bus buttons are off.
  openSdoList();
  EXPECT_EQ(widget<QTabWidget>("TabControl")->currentWidget(), widget("tabObjMngt"));
  EXPECT_FALSE(widget("SDOAktBtn")->isEnabled());
  EXPECT_EQ(list().getValue("6081", 0, false), list().findEntry("6081", 0)->definition->defaultValue);
  EXPECT_FALSE(boxShown("Please Connect to a Device"));
}

TEST_F(ConnectionTest, SwitchingToOfflineAndBackRestoresThePages) {
  world().addNode(1);
  startConnected();
  const QStringList allPages{"ConfSheet", "tabNodeConfig", "tabObjMngt", "tabDriveModes", "tabIO", "UpdtSheet", "Info"};
  EXPECT_EQ(pageNames("TabControl"), allPages);

  chooseAdapter("offline");
  EXPECT_EQ(pageNames("TabControl"), (QStringList{"ConfSheet", "tabNodeConfig", "tabObjMngt", "Info"}));
  EXPECT_EQ(form->connector()->getClassName(), "DLLConnectorEmpty");
  EXPECT_EQ(text("lblHWDevice"), "--OFFLINE--");
  EXPECT_FALSE(widget("SelectCanCheckBox")->isEnabled());
  EXPECT_EQ(form->panelText(4), "Drivestate: Unknown");

  // The motor settings page goes back to second place as well.
  auto* nodePages = widget<QTabWidget>("tctlNodeConfig");
  nodePages->removeTab(nodePages->indexOf(widget("tabMotorSettings")));
  chooseAdapter("IXXAT");
  EXPECT_EQ(pageNames("TabControl"), allPages);
  EXPECT_EQ(pageNames("tctlNodeConfig"), (QStringList{"tabNodeSettings", "tabMotorSettings", "tabClosedLoop"}));
  EXPECT_EQ(nodePages->tabText(1), "Motor && Drive Settings");
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
  EXPECT_TRUE(widget("SelectCanCheckBox")->isEnabled());
  EXPECT_EQ(widget<QTabWidget>("TabControl")->currentWidget(), widget("ConfSheet"));
}

TEST_F(ConnectionTest, ANodeIdWithoutANodeEndsTheAutomaticConnection) {
  world().addNode(1);
  start();
  widget<QLineEdit>("MotorIdEdit")->setText("5");  // before the automatic connection
  ASSERT_TRUE(processUntil([this] { return log.contains("...no Device detected."); })) << log.all().toStdString();
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  ASSERT_TRUE(processUntil([this] {
    return form->panelText(2) == "CAN Adapter: connected" && form->panelText(3) == "CAN Device: disconnected";
  })) << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();
  EXPECT_FALSE(log.contains("Connected"));
  EXPECT_EQ(text("lblHWDevice"), "");
  EXPECT_EQ(form->panelText(2), "CAN Adapter: connected");
  EXPECT_EQ(form->panelText(3), "CAN Device: disconnected");
  EXPECT_EQ(form->panelText(4), "Drivestate: Unknown");
  EXPECT_TRUE(widget("stopBtn")->isEnabled());  // NMT commands stay possible
  EXPECT_FALSE(widget("btnRecoverBootloader")->isEnabled());

  // Node pages need a device.
  widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabDriveModes"));
  ASSERT_TRUE(processUntil([this] { return !boxes.boxes().empty(); }));
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].caption, "Error");
  EXPECT_EQ(boxes.boxes()[0].text, "Please Connect to a Device");
  EXPECT_EQ(boxes.boxes()[0].icon, QMessageBox::Warning);
  EXPECT_EQ(widget<QTabWidget>("TabControl")->currentWidget(), widget("ConfSheet"));
  EXPECT_TRUE(widget("TabControl")->isEnabled());
}

TEST_F(ConnectionTest, NmtStateDisplayNamesAndColoursTheState) {
  startConnected(false);
  struct Case {
    std::uint8_t byte;
    const char* text;
    std::uint8_t code;
  };
  for (const Case& c : {Case{0x85, "Drivestate: Operational", 1}, Case{0x05, "Drivestate: Operational", 1},
                        Case{0x7F, "Drivestate: Pre Operational", 0}, Case{0xFF, "Drivestate: Pre Operational", 0},
                        Case{0x84, "Drivestate: Stopped", 2}, Case{0x00, "Drivestate: Unknown", 3}}) {
    form->ShowNmtState(c.byte);
    EXPECT_EQ(form->panelText(4), c.text) << int(c.byte);
    EXPECT_EQ(list().getNmtState(), c.code) << int(c.byte);
  }
  form->ShowNmtState(0x85);
  const QColor operational = form->panelColor(4);
  form->ShowNmtState(0x7F);
  const QColor preOperational = form->panelColor(4);
  form->ShowNmtState(0x84);
  const QColor stopped = form->panelColor(4);
  EXPECT_GT(operational.green(), operational.red());          // green
  EXPECT_GT(preOperational.red(), preOperational.blue() + 80);  // yellow
  EXPECT_GT(preOperational.green(), preOperational.blue() + 80);
  EXPECT_GT(stopped.red(), stopped.green() + 80);  // red

  form->bootloaderActive = true;
  form->ShowNmtState(0x00);
  EXPECT_EQ(form->panelText(4), "Drivestate: BOOTLOADER");
  EXPECT_EQ(list().getNmtState(), 4);
}

}  // namespace
}  // namespace mainwindow_test
