// The page "I/O": digital inputs as the simulated controller sets them,
// digital outputs and their mask written to it, the analog inputs with their
// interrupt settings, the auto refreshes on the shared timer and a node that
// stops answering.
#include "MainWindowFixture.h"

#include <QCheckBox>

#include "IoPage.h"
#include "node/DriveIo.h"

namespace mainwindow_test {
namespace {

constexpr std::uint8_t kNode = 1;

TEST(IoPageBits, SetValuesChangeOnlyTheBitsThePageShows) {
  struct Case {
    const char* listValue;
    std::uint32_t mask;
    std::uint32_t shown;
    const char* written;
  };
  const Case cases[] = {
      {"1023", 0x3FF, 500, "500"},
      {"74565", 0x3FF, 5, "73733"},             // 0x12345 keeps 0x12000
      {"-1", 0x3FF, 5, "-1019"},                // a signed value stays signed
      {"4294967295", 0x3FF, 0, "4294966272"},   // unsigned above 31 bits
      {"0x80001", 0x70000, 0x30000, "720897"},  // output 4 and the brake bit stay
      {"0x70000", 0x70000, 0, "0"},
      {"1", 1, 0, "0"},        // interrupt enable
      {"abc", 0x3FF, 7, "7"},  // no number in the list: the page's bits alone
      {"", 0x70000, 0x40000, "262144"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IoPage::keepUnshownBits(c.listValue, c.mask, c.shown), c.written) << c.listValue;
}

class IoPageTest : public MainWindowTest {
 protected:
  void SetUp() override {
    world().addNode(kNode);
    setAnalog(1, 700);
    setAnalog(2, 300);
    startConnected();
    if (HasFatalFailure()) return;
    openIo();
  }
  void openIo() {
    widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabIO"));
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(20s))) << log.all().toStdString();
  }
  void setAnalog(unsigned channel, int value) {
    world().host->withNode(kNode, [channel, value](kestrum::sim::SimNode& n, std::uint64_t) {
      n.behaviour<kestrum::sim::DriveIo>()->setAnalogInput(n, channel, value);
    });
  }
  QCheckBox* box(const char* name) { return widget<QCheckBox>(name); }
  bool ticked(const char* name) { return box(name)->isChecked(); }
  QString field(const char* name) { return widget<QLineEdit>(name)->text(); }
  void chooseInput(int input) {
    auto* combo = widget<QComboBox>("cmbAIONumber");
    combo->setCurrentIndex(input - 1);
    emit combo->activated(input - 1);
  }
  int linesWith(const QString& text) {
    int n = 0;
    for (const QString& line : log.lines) n += line.contains(text);
    return n;
  }
};

TEST_F(IoPageTest, InputsFollowTheNodeAndTheDebounceTimeIsWritten) {
  world().host->setDigitalInputs(kNode, 0x10000 | 0x40000 | 0x200000);  // inputs 1, 3 and 6
  ASSERT_TRUE(processUntil([&] { return nodeValue(kNode, 0x60FD) == 0x250000; }));
  click("btnRefreshDigiIn");
  const bool expected[] = {true, false, true, false, false, true};
  for (int k = 1; k <= 6; ++k)
    EXPECT_EQ(ticked(QStringLiteral("chkDigiIn%1").arg(k).toLatin1().constData()), expected[k - 1]) << k;
  EXPECT_EQ(field("txtDebounceTime"), QString::number(nodeValue(kNode, 0x2008)));

  // The auto refresh sees a change without a click, and its refreshes leave it on.
  box("chkDigiInAutoRefresh")->setChecked(true);
  world().host->setDigitalInputs(kNode, 0x20000);  // input 2 alone
  EXPECT_TRUE(processUntil([&] { return ticked("chkDigiIn2") && !ticked("chkDigiIn1"); }));
  EXPECT_TRUE(ticked("chkDigiInAutoRefresh"));

  // An edit of the debounce time ends the auto refresh; 255 ms at most.
  type("txtDebounceTime", "300");
  EXPECT_EQ(field("txtDebounceTime"), "255");
  EXPECT_FALSE(ticked("chkDigiInAutoRefresh"));
  type("txtDebounceTime", "30");
  click("btnDigiInSetValue");
  EXPECT_EQ(nodeValue(kNode, 0x2008), 30);
  // No number, nothing written and nothing shown.
  type("txtDebounceTime", "");
  BusRecorder bus(*world().bus);
  click("btnDigiInSetValue");
  EXPECT_TRUE(bus.downloads(kNode).empty());
  EXPECT_EQ(field("txtDebounceTime"), "");
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(IoPageTest, OutputsAndTheirMaskAreWrittenToTheNode) {
  // "Set Values": outputs 1 and 2, the firmware using output 3.
  box("chkDigiOut1")->setChecked(true);
  box("chkDigiOut2")->setChecked(true);
  click("chkDigiOutMask3");
  EXPECT_FALSE(widget("chkDigiOut3")->isEnabled());
  click("btnDigiOutSetValues");
  EXPECT_EQ(nodeValue(kNode, 0x60FE, 1) & 0x70000, 0x30000);
  EXPECT_EQ(nodeValue(kNode, 0x60FE, 2), 0x40000);

  // "Auto Set" writes every click at once, from what the node holds.
  setNodeValue(kNode, 0x60FE, 2, 0, 4);
  setNodeValue(kNode, 0x60FE, 1, 0x10000, 4);
  click("btnDigiOutRefresh");
  EXPECT_TRUE(ticked("chkDigiOut1"));
  EXPECT_FALSE(ticked("chkDigiOut2"));
  EXPECT_TRUE(widget("chkDigiOut3")->isEnabled());
  click("chkDigiOutAutoSet");
  click("chkDigiOut3");
  EXPECT_EQ(nodeValue(kNode, 0x60FE, 1) & 0x70000, 0x50000);
  click("chkDigiOut1");
  EXPECT_EQ(nodeValue(kNode, 0x60FE, 1) & 0x70000, 0x40000);
  click("chkDigiOutMask2");
  EXPECT_EQ(nodeValue(kNode, 0x60FE, 2), 0x20000);
  EXPECT_FALSE(widget("chkDigiOut2")->isEnabled());
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(IoPageTest, AnalogValuesAndInterruptSettings) {
  EXPECT_EQ(comboItems("cmbAIONumber"), QStringList({"1", "2"}));
  EXPECT_EQ(text("lblAnalogCurrentValue"), "700");
  chooseInput(2);
  EXPECT_EQ(text("lblAnalogCurrentValue"), "300");
  setAnalog(2, 512);
  click("btnRefreshAnalogValue");
  EXPECT_EQ(text("lblAnalogCurrentValue"), "512");

  // The fields hold the range of a 10-bit value.
  type("txtAnaIOMaxVal", "1100");
  EXPECT_EQ(field("txtAnaIOMaxVal"), "1023");
  type("txtAnaIOMinVal", "-5");
  EXPECT_EQ(field("txtAnaIOMinVal"), "0");
  type("txtAnaIODelta", "10");
  type("txtAnaIODeltaPos", "5");

  // Enabling the interrupts tells what else they need; the box writes nothing.
  BusRecorder bus(*world().bus);
  click("chkGlblIntEnable");
  EXPECT_TRUE(boxShown("Global Interrupt enable requires object 0x6401 sub-id 1 to be mapped as PDO"));
  EXPECT_TRUE(bus.downloads(kNode).empty());
  click("btnSetAnalogSettings");
  EXPECT_EQ(nodeValue(kNode, 0x6423), 1);
  EXPECT_EQ(nodeValue(kNode, 0x6424, 2), 1023);
  EXPECT_EQ(nodeValue(kNode, 0x6425, 2), 0);
  EXPECT_EQ(nodeValue(kNode, 0x6426, 2), 10);
  EXPECT_EQ(nodeValue(kNode, 0x6427, 2), 0);
  EXPECT_EQ(nodeValue(kNode, 0x6428, 2), 5);
  EXPECT_EQ(nodeValue(kNode, 0x6426, 1), 0);  // the other input is left alone

  // A selection beyond what the list says the node has becomes its last input.
  list().setValue("6401", 0, "1", false);
  click("btnRefreshAnalogValue");
  EXPECT_EQ(comboItems("cmbAIONumber"), QStringList({"1"}));
  EXPECT_EQ(widget<QComboBox>("cmbAIONumber")->currentText(), "1");
  EXPECT_EQ(text("lblAnalogCurrentValue"), "700");
}

TEST_F(IoPageTest, AutoRefreshesShareTheTimerAndEndWhenThePageIsLeft) {
  QTimer* timer = form->ioRefreshTimer();
  box("chkAnalogIORefreshValue")->setChecked(true);
  box("chkDigiOutAutoRefresh")->setChecked(true);
  EXPECT_TRUE(timer->isActive());
  setAnalog(1, 100);
  EXPECT_TRUE(processUntil([&] { return text("lblAnalogCurrentValue") == "100"; }));
  setNodeValue(kNode, 0x60FE, 1, 0x20000, 4);
  EXPECT_TRUE(processUntil([&] { return ticked("chkDigiOut2"); }));
  // The refreshes set the fields without what an edit runs.
  EXPECT_TRUE(ticked("chkAnalogIORefreshValue"));
  EXPECT_TRUE(ticked("chkDigiOutAutoRefresh"));

  box("chkAnalogIORefreshValue")->setChecked(false);
  box("chkDigiOutAutoRefresh")->setChecked(false);
  EXPECT_TRUE(processUntil([&] { return !timer->isActive(); }));  // the next tick finds nothing to do

  box("chkDigiInAutoRefresh")->setChecked(true);
  widget<QTabWidget>("TabControl")->setCurrentWidget(widget("ConfSheet"));
  EXPECT_FALSE(ticked("chkDigiInAutoRefresh"));
  EXPECT_TRUE(processUntil([&] { return !timer->isActive(); }));
}

TEST_F(IoPageTest, ANodeThatFallsSilentEndsTheAutoRefreshesWithOneLine) {
  QTimer* timer = form->ioRefreshTimer();
  box("chkDigiInAutoRefresh")->setChecked(true);
  box("chkAnalogIORefreshValue")->setChecked(true);
  log.lines.clear();
  world().host->setSilent(kNode, true);
  EXPECT_TRUE(processUntil([&] { return !ticked("chkDigiInAutoRefresh"); }, scaled(20s)));
  EXPECT_FALSE(processUntil([] { return false; }, 1500ms));
  EXPECT_EQ(linesWith("Reading SDO"), 1) << log.all().toStdString();
  EXPECT_EQ(linesWith(") Connection Problems detected, IO/Velocity Mode Auto Refresh disabled!"), 1)
      << log.all().toStdString();
  EXPECT_FALSE(ticked("chkAnalogIORefreshValue"));
  EXPECT_FALSE(timer->isActive());
  EXPECT_TRUE(boxes.boxes().empty());

  // Usable again once the node answers.
  world().host->setSilent(kNode, false);
  world().host->setDigitalInputs(kNode, 0x100000);  // input 5
  ASSERT_TRUE(processUntil([&] { return nodeValue(kNode, 0x60FD) == 0x100000; }));
  click("btnRefreshDigiIn");
  EXPECT_TRUE(ticked("chkDigiIn5"));
}

}  // namespace
}  // namespace mainwindow_test
