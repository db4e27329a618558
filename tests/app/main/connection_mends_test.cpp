// The connection workflow against nodes that answer little or nothing: which
// dictionary a named controller gets, what the status bar claims, where the
// identity reads stop when the window closes, and the library check at start.

#include "MainWindowFixture.h"
#include "ScriptedNode.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>

#include <atomic>
#include <deque>
#include <functional>
#include <map>

#include "TfrmCANLog.h"

namespace mainwindow_test {
namespace {

using kestrum::sim::test::ScriptedNode;

class ConnectionMendsTest : public MainWindowTest {
 protected:
  /// Chooses a controller item as the user does; the dictionary follows.
  void chooseController(const QString& item) {
    auto* combo = widget<QComboBox>("ControllerBox");
    combo->setCurrentIndex(combo->findText(item));
    emit combo->activated(combo->currentIndex());
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); })) << item.toStdString();
  }
  QString dictionaryFile() { return QFileInfo(form->database().file()->path).fileName(); }
  bool statusShowsNothingConnected() {
    return form->panelText(2) == "CAN Adapter: disconnected" && form->panelText(3) == "CAN Device: disconnected";
  }
};

TEST_F(ConnectionMendsTest, EveryControllerItemButDefaultLoadsItsOwnDictionary) {
  start(false);
  // The folder listing sorts "Brelan" before "Default"; it is selected at
  // start, but the dictionary is the default one until a controller is named.
  EXPECT_EQ(comboItems("ControllerBox"), (QStringList{"Brelan", "Default", "Mirelo", "Torvik"}));
  EXPECT_EQ(widget<QComboBox>("ControllerBox")->currentIndex(), 0);
  EXPECT_EQ(dictionaryFile(), "EDS_Default.xml");
  ASSERT_TRUE(processUntil([this] { return log.contains("Connected") && !form->isInUse(); }))
      << log.all().toStdString();

  chooseController("Torvik");
  EXPECT_EQ(dictionaryFile(), "EDS_Torvik.xml");
  chooseController("Brelan");
  EXPECT_EQ(dictionaryFile(), "EDS_Brelan.xml");
  chooseController("Default");
  EXPECT_EQ(dictionaryFile(), "EDS_Default.xml");
}

TEST_F(ConnectionMendsTest, AControllerThatSortsFirstIsShownItsOwnObjects) {
  world().addNode(1, "Brelan");
  startConnected();
  ASSERT_EQ(text("lblHWDevice"), "Brelan") << log.all().toStdString();
  EXPECT_EQ(widget<QComboBox>("ControllerBox")->currentIndex(), 0);
  EXPECT_EQ(dictionaryFile(), "EDS_Brelan.xml");
  EXPECT_TRUE(list().findEntry("1009", 0));
}

TEST_F(ConnectionMendsTest, InitializeCanOnASilentNodeIdEndsAtOnceWithoutADevice) {
  world().addNode(1);
  startConnected();
  ASSERT_TRUE(processUntil([this] { return form->panelText(3) == "CAN Device: connected"; }));

  widget<QLineEdit>("MotorIdEdit")->setText("5");  // nothing answers there
  log.lines.clear();
  QElapsedTimer elapsed;
  elapsed.start();
  widget<QPushButton>("canInitBtn")->click();
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(30s)));
  // The probe's and the bootloader probe's short waits, not the identity
  // reads' time-outs (about 24 s).
  EXPECT_LT(elapsed.elapsed(), scaled(std::chrono::milliseconds(6000)).count()) << log.all().toStdString();
  EXPECT_TRUE(log.contains("...no Device detected.")) << log.all().toStdString();
  EXPECT_FALSE(log.contains("Connected")) << log.all().toStdString();
  EXPECT_FALSE(form->deviceConnected);
  EXPECT_EQ(text("lblHWDevice"), "");
  ASSERT_TRUE(processUntil([this] { return form->panelText(3) == "CAN Device: disconnected"; }))
      << form->panelText(3).toStdString();
  EXPECT_EQ(form->panelText(2), "CAN Adapter: connected");

  // The node that is there is found again the same way.
  widget<QLineEdit>("MotorIdEdit")->setText("1");
  widget<QPushButton>("canInitBtn")->click();
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
  EXPECT_TRUE(form->deviceConnected);
}

TEST_F(ConnectionMendsTest, OfflineNeverShowsAnAdapterOrADeviceAsConnected) {
  world().addNode(1);
  startConnected();
  ASSERT_TRUE(processUntil([this] { return form->panelText(3) == "CAN Device: connected"; }));

  chooseAdapter("offline");
  EXPECT_EQ(text("lblHWDevice"), "--OFFLINE--");
  EXPECT_FALSE(form->adapterConnected);
  EXPECT_FALSE(form->deviceConnected);
  ASSERT_TRUE(processUntil([this] { return statusShowsNothingConnected(); }))
      << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();

  // Reading the list from the defaults connects nothing either.
  openSdoList();
  EXPECT_FALSE(processUntil([this] { return !statusShowsNothingConnected(); }, 300ms))  // a few status ticks
      << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();

  // Back on the adapter, both are connected again.
  chooseAdapter("IXXAT");
  ASSERT_TRUE(processUntil([this] {
    return form->panelText(2) == "CAN Adapter: connected" && form->panelText(3) == "CAN Device: connected";
  })) << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();
}

TEST_F(ConnectionMendsTest, TheCanLogPausesItsPageWhileTheWorkflowRuns) {
  world().addNode(1);
  startConnected();
  TfrmCANLog* canLog = form->canLog();
  ASSERT_TRUE(canLog->isFilling());

  bool pausedMeanwhile = false;
  QTimer sampler;
  sampler.setInterval(1);
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    if (form->isInUse() && !canLog->isFilling()) pausedMeanwhile = true;
  });
  sampler.start();
  widget<QPushButton>("canInitBtn")->click();
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  sampler.stop();
  EXPECT_TRUE(pausedMeanwhile);
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
  EXPECT_TRUE(canLog->isFilling());
}

}  // namespace
}  // namespace mainwindow_test
