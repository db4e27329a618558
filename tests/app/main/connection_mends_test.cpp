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

}  // namespace
}  // namespace mainwindow_test
