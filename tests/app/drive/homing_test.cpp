// The homing page against a simulated Mirelo drive: a reference run to home,
// the controlword it sends, Stop and leaving the page during a run, a homing
// error, runs refused before anything is written, and the closed-loop group.
#include "MainWindowFixture.h"

#include <QComboBox>
#include <QEventLoop>
#include <QPushButton>

#include <algorithm>

#include "node/Drive402.h"

namespace mainwindow_test {
namespace {

using kestrum::sim::Drive402;
using kestrum::sim::SimNode;

constexpr std::uint8_t kNode = 1;
constexpr std::uint16_t kHalt = 0x0100;
constexpr std::uint16_t kStart = 0x0010;
constexpr const char* kMethodButtons[] = {"Ref19Btn",           "Ref20Btn",     "Ref21Btn",     "Ref22Btn",
                                          "Ref33Btn",           "Ref34Btn",     "RefMinus2Btn", "RefMinus3Btn",
                                          "RefMinus4Btn",       "RefMinus5Btn", "RefMinus6Btn", "RefMinus7Btn",
                                          "btnRefPositionReset"};

class HomingTest : public MainWindowTest {
 protected:
  void SetUp() override {
    world().addNode(kNode);
    startConnected();
    openDrivePage("tabRefMode");
  }
  void powerOn() {
    click("Button1");
    ASSERT_EQ(driveState(kNode), kestrum::canopen::cia402::PowerState::OperationEnabled) << log.all().toStdString();
  }
  std::uint16_t controlword() { return std::uint16_t(nodeValue(kNode, 0x6040)); }
  std::uint16_t statusword() { return std::uint16_t(nodeValue(kNode, 0x6041)); }
  std::int32_t position() { return std::int32_t(nodeValue(kNode, 0x6064)); }
  /// The controlwords the window sent, in order.
  static std::vector<std::uint16_t> controlwords(const BusRecorder& bus) {
    std::vector<std::uint16_t> words;
    for (const auto& f : bus.frames())
      if (f.id == 0x600u + kNode && f.dlc == 8 && (f.data[0] & 0xE0) == 0x20 && f.data[1] == 0x40 && f.data[2] == 0x60)
        words.push_back(std::uint16_t(f.data[4] | f.data[5] << 8));
    return words;
  }
  /// Lets `ms` pass with the event loop running.
  static void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
  }
  bool methodButtonsEnabled() {
    for (const char* name : kMethodButtons)
      if (!widget(name)->isEnabled()) return false;
    return true;
  }
  void setFields(const QString& searchSpeed, const QString& accel) {
    type("hspeed_switch", searchSpeed);
    type("haccel", accel);
  }
};

TEST_F(HomingTest, RunToTheSwitchEndsAtTheHomeOffsetWithHaltReleasedOnlyForTheStart) {
  EXPECT_EQ(text("lblBit12"), "homing attained");
  EXPECT_EQ(text("lblBit13"), "=1 when error");
  powerOn();
  type("hoffset", "1234");
  BusRecorder bus(*world().bus);
  log.lines.clear();
  click("Ref22Btn");

  EXPECT_TRUE(log.contains("Homing finished")) << log.all().toStdString();
  EXPECT_EQ(nodeValue(kNode, 0x6098), 22);
  EXPECT_EQ(nodeValue(kNode, 0x607C), 1234);
  EXPECT_EQ(position(), 1234);
  EXPECT_EQ(statusword() & 0x1400, 0x1400);
  // Power On left halt set: the start releases it, the end takes the start bit back and halts again.
  EXPECT_EQ(controlwords(bus), (std::vector<std::uint16_t>{0x000F, 0x001F, 0x010F}));
  EXPECT_TRUE(methodButtonsEnabled());
}

TEST_F(HomingTest, StopOrLeavingThePageHaltsTheRun) {
  struct Case {
    const char* what;
    std::function<void()> stop;
  };
  const Case cases[] = {
      {"Stop", [this] { click("hm_stop"); }},
      {"leaving the page", [this] { widget<QTabWidget>("tabCtlDriveModes")->setCurrentWidget(widget("tabPPMode")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    widget<QTabWidget>("tabCtlDriveModes")->setCurrentWidget(widget("tabRefMode"));
    powerOn();
    setFields("200", "10000");  // the switch is 2000 increments away: ten seconds
    BusRecorder bus(*world().bus);
    log.lines.clear();
    QTimer::singleShot(300, form.get(), c.stop);
    click("Ref22Btn");

    EXPECT_TRUE(log.contains("Homing stopped")) << log.all().toStdString();
    ASSERT_TRUE(processUntil([&] { return controlword() & kHalt; }));
    EXPECT_FALSE(controlword() & kStart);
    const auto words = controlwords(bus);
    ASSERT_GE(words.size(), 3u);
    EXPECT_EQ(words[2], 0x010F);  // halt set, start bit back, nothing else changed
    for (std::size_t i = 2; i < words.size(); ++i) EXPECT_TRUE(words[i] & kHalt) << i;
    ASSERT_TRUE(processUntil([&] { return statusword() & 0x0400; }));  // standing still
    const std::int32_t stoppedAt = position();
    settle(300);
    EXPECT_EQ(position(), stoppedAt);
    EXPECT_NE(position(), 0);
    EXPECT_FALSE(statusword() & 0x1000);
    EXPECT_TRUE(methodButtonsEnabled());
  }
}

TEST_F(HomingTest, HomingErrorEndsTheRunHalted) {
  powerOn();
  // Method 20 searches away from the switch until the drive gives up.
  setFields("400000", "4000000");
  log.lines.clear();
  click("Ref20Btn");

  EXPECT_TRUE(log.contains("Homing error")) << log.all().toStdString();
  EXPECT_FALSE(log.contains("Homing finished"));
  EXPECT_TRUE(statusword() & 0x2000);
  ASSERT_TRUE(processUntil([&] { return controlword() & kHalt; }));
  EXPECT_FALSE(controlword() & kStart);
  EXPECT_TRUE(methodButtonsEnabled());
}

TEST_F(HomingTest, RunsAreRefusedBeforeAnythingIsWritten) {
  {
    SCOPED_TRACE("drive not powered");
    BusRecorder bus(*world().bus);
    click("btnRefPositionReset");
    EXPECT_TRUE(log.contains("Not in state Operation Enabled"));
    EXPECT_TRUE(bus.downloads(kNode).empty());
    EXPECT_TRUE(methodButtonsEnabled());
  }
  powerOn();
  struct Case {
    const char* field;
    const char* text;
    const char* logged;  ///< nullptr: nothing logged about the field
    bool runs;
    std::uint16_t index;
    std::uint8_t sub;
    std::int64_t written;
  };
  const Case cases[] = {
      {"hspeed_switch", "abc", "Search For Switch: 'abc' is not a number, 500 used", true, 0x6099, 1, 500},
      {"hspeed_switch", "", nullptr, true, 0x6099, 1, 500},
      {"hspeed_switch", "0", nullptr, true, 0x6099, 1, 500},
      {"haccel", "12a", "Home Acceleration: '12a' is not a number, 500 used", true, 0x609A, 0, 500},
      {"hoffset", "0x10", nullptr, true, 0x607C, 0, 16},
      {"hoffset", "-20", nullptr, true, 0x607C, 0, 0xFFFFFFEC},
      {"hspeed_zero", "-5", "Search For Zero: -5 is outside 0 to 4294967295, nothing written", false, 0, 0, 0},
      {"hoffset", "2147483648", "Home Offset: 2147483648 is outside", false, 0, 0, 0},
      {"txtBlockCurrent", "151", "Block Current: 151 is outside 0 to 150", false, 0, 0, 0},
      {"txtLagErrorTimeout", "65536", "Following Error Timeout: 65536 is outside", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " = '" + c.text + "'");
    setFields("10000", "10000");
    type("hspeed_zero", "2500");
    type("hoffset", "0");
    type("txtBlockCurrent", "0");
    type("txtLagErrorTimeout", "0");
    type(c.field, c.text);
    BusRecorder bus(*world().bus);
    log.lines.clear();
    click("btnRefPositionReset");

    if (c.logged) {
      EXPECT_TRUE(log.contains(c.logged)) << log.all().toStdString();
    } else {
      EXPECT_FALSE(log.contains("is not a number")) << log.all().toStdString();
    }
    EXPECT_EQ(log.contains("Homing finished"), c.runs) << log.all().toStdString();
    if (c.runs) {
      EXPECT_EQ(nodeValue(kNode, c.index, c.sub), c.written);
      EXPECT_EQ(nodeValue(kNode, 0x6098), 35);
    } else {
      EXPECT_TRUE(bus.downloads(kNode).empty());
    }
    EXPECT_TRUE(methodButtonsEnabled());
  }
}

TEST_F(HomingTest, ClosedLoopListWritesTheEnableModeAndTheStatusFollowsTheDrive) {
  auto* list = widget<QComboBox>("cmbEnableCLAuto");
  EXPECT_EQ(comboItems("cmbEnableCLAuto"),
            (QStringList{"0 - disabled", "1 - enable after run (default)", "2 - enable when referenced",
                         "3 - enable after short test run"}));
  EXPECT_EQ(list->currentIndex(), 1);  // the drive's setting, read on entry
  EXPECT_EQ(text("lblClosedLoopEnabled"), "disabled");

  list->setCurrentIndex(2);
  EXPECT_EQ(nodeValue(kNode, 0x2001), 2);
  EXPECT_EQ(text("lblClosedLoopEnabled"), "disabled");  // not referenced yet

  {
    SCOPED_TRACE("entering the page shows the setting without writing it");
    BusRecorder bus(*world().bus);
    widget<QTabWidget>("tabCtlDriveModes")->setCurrentWidget(widget("tabPPMode"));
    widget<QTabWidget>("tabCtlDriveModes")->setCurrentWidget(widget("tabRefMode"));
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
    const auto indices = bus.downloads(kNode);
    EXPECT_EQ(std::count(indices.begin(), indices.end(), 0x2001), 0);
    EXPECT_EQ(list->currentIndex(), 2);
  }

  powerOn();
  click("btnRefPositionReset");  // referenced: the drive enables the closed loop
  ASSERT_TRUE(log.contains("Homing finished"));
  EXPECT_EQ(text("lblClosedLoopEnabled"), "disabled");
  click("imgRefresh_ClosedLoop");
  EXPECT_EQ(text("lblClosedLoopEnabled"), "enabled");

  // The drive refuses the setting while powered; the list shows what it kept.
  log.lines.clear();
  list->setCurrentIndex(0);
  EXPECT_TRUE(log.contains("Closed Loop: writing the enable mode (0x2001) failed")) << log.all().toStdString();
  EXPECT_EQ(nodeValue(kNode, 0x2001), 2);
  EXPECT_EQ(list->currentIndex(), 2);
  EXPECT_EQ(text("lblClosedLoopEnabled"), "enabled");
}

}  // namespace
}  // namespace mainwindow_test
