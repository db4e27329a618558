// Start-up and the automatic connection, with and without the library.

#include "MainWindowFixture.h"

namespace mainwindow_test {
namespace {

class StartupTest : public MainWindowTest {};

TEST_F(StartupTest, ConnectsToTheSimulatedControllerAndReadsItsIdentity) {
  world().addNode(1, "Mirelo");
  startConnected();
  EXPECT_EQ(comboItems("comboExVendor"), (QStringList{"IXXAT", "PCAN_USBBUS1", "offline"}));
  EXPECT_EQ(widget<QComboBox>("comboExVendor")->currentText(), "IXXAT");
  EXPECT_EQ(form->panelText(0), "1 Peak Device(s) found.");
  EXPECT_EQ(form->panelText(1), "1 IXXAT Device(s) found.");
  EXPECT_TRUE(log.contains("Connecting to Node: 1"));
  EXPECT_TRUE(log.contains("Connected")) << log.all().toStdString();
  // The identity of the simulated controller: its model file's software
  // version and revision, and the serial number the simulator gives node 1.
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
  EXPECT_EQ(text("lblSWVersion"), "V2.14");
  EXPECT_EQ(text("lblCANRevision"), QString::number(0x00020014));
  EXPECT_EQ(text("lblSerialNumber"), QString::number(kestrum::sim::SimNode::serialNumber("Mirelo", 1)));
  EXPECT_TRUE(form->database().file()->path.endsWith("EDS_Mirelo.xml")) << form->database().file()->path.toStdString();
  EXPECT_EQ(widget<QComboBox>("ControllerBox")->currentText(), "Mirelo");
  EXPECT_TRUE(widget("startBtn")->isEnabled());
  // The guarding answer of the node (pre-operational after boot-up).
  ASSERT_TRUE(processUntil([this] { return form->panelText(4) == "Drivestate: Pre Operational"; }))
      << form->panelText(4).toStdString();
  ASSERT_TRUE(processUntil([this] {
    return form->panelText(2) == "CAN Adapter: connected" && form->panelText(3) == "CAN Device: connected";
  })) << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();
  EXPECT_EQ(form->panelText(2), "CAN Adapter: connected");
  EXPECT_EQ(form->panelText(3), "CAN Device: connected");
  EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes().front().text.toStdString();
  // Every tip of the window hides after 6 s.
  int tips = 0;
  for (const QWidget* w : form->findChildren<QWidget*>()) {
    if (w->toolTip().isEmpty()) continue;
    ++tips;
    EXPECT_EQ(w->toolTipDuration(), 6000) << w->objectName().toStdString();
  }
  EXPECT_GT(tips, 0);
  if (const char* dir = std::getenv("KESTRUM_SCREENSHOT_DIR")) form->grab().save(QString::fromLocal8Bit(dir) + "/startup.png");
}

}  // namespace
}  // namespace mainwindow_test

namespace mainwindow_test {
namespace {

// Not a check of its own: saves the object page for a look at the layout when
// KESTRUM_SCREENSHOT_DIR is set.
TEST_F(StartupTest, ObjectPageAfterReadingAll) {
  world().addNode(1, "Mirelo");
  startConnected();
  openSdoList();
  EXPECT_TRUE(list().isAllRead());
  EXPECT_EQ(list().findEntry("1009", 0)->definition->value, "Mirelo");
  if (const char* dir = std::getenv("KESTRUM_SCREENSHOT_DIR")) {
    form->grab().save(QString::fromLocal8Bit(dir) + "/sdolist.png");
    form->resize(1600, 1000);
    QCoreApplication::processEvents();  // the layout follows the new size
    form->grab().save(QString::fromLocal8Bit(dir) + "/sdolist-large.png");
  }
}

}  // namespace
}  // namespace mainwindow_test
