// The profile position and velocity pages against a simulated drive: moves
// that reach their targets, starts refused before anything is written, the
// velocity run with its stop, the target limits, and the stops when the page
// is left or the window closes.
#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QPushButton>

#include "node/Drive402.h"

namespace mainwindow_test {
namespace {

namespace cia402 = kestrum::canopen::cia402;
using P = cia402::PowerState;

constexpr std::uint8_t kNode = 1;

class PPVelTest : public MainWindowTest {
 protected:
  void SetUp() override {
    world().addNode(kNode);
    startConnected();
  }
  void powerOn() {
    click("Button1");
    ASSERT_EQ(driveState(kNode), P::OperationEnabled) << log.all().toStdString();
  }
  /// The controlwords sent to the node since `from` frames of `bus`.
  static std::vector<std::uint16_t> controlwords(const BusRecorder& bus, std::size_t from = 0) {
    std::vector<std::uint16_t> words;
    const auto frames = bus.frames();
    for (std::size_t i = from; i < frames.size(); ++i) {
      const auto& f = frames[i];
      if (f.id == 0x600u + kNode && f.dlc == 8 && (f.data[0] & 0xE0) == 0x20 && f.data[1] == 0x40 && f.data[2] == 0x60)
        words.push_back(std::uint16_t(f.data[4] | f.data[5] << 8));
    }
    return words;
  }
  std::int32_t position() { return std::int32_t(nodeValue(kNode, 0x6064)); }
  std::int32_t velocity() { return std::int32_t(nodeValue(kNode, 0x606C)); }
  std::uint16_t controlword() { return std::uint16_t(nodeValue(kNode, 0x6040)); }
  /// A profile fast enough that the moves of a test end within moments.
  void fastProfile() {
    type("PPminspeed", "500");
    type("PPqsdecel", "80000");
    type("PPmaxspeed", "20000");
    type("PPaccel", "200000");
    type("PPdecel", "200000");
  }
  void velocityProfile(const QString& target) {
    type("VLtarvel", target);
    type("VLminvel", "60");
    type("VLmaxvel", "25000");
    for (const char* name : {"VLaccelz", "VLdecelz", "VLqsdecelz"}) type(name, "3000");
    for (const char* name : {"VLacceln", "VLdeceln", "VLqsdeceln"}) type(name, "1");
  }
};

TEST_F(PPVelTest, PositioningMovesReachTheirTargets) {
  powerOn();
  openDrivePage("tabPPMode");
  fastProfile();
  struct Case {
    const char* mode;
    const char* tick;  // set-point option clicked before the start, in order
    const char* tick2;
    const char* target;
    std::vector<std::uint16_t> sent;
    std::int32_t reached;
  };
  const Case cases[] = {
      {"absolute", nullptr, nullptr, "4000", {0x000F, 0x000F, 0x001F, 0x000F}, 4000},
      {"relative", nullptr, nullptr, "-1500", {0x004F, 0x004F, 0x005F, 0x004F}, 2500},
      {"absolute", "pp_cos", nullptr, "1000", {0x020F, 0x020F, 0x021F, 0x020F}, 1000},
      // Ticking one option unticks the other.
      {"absolute", "pp_cos", "pp_csi", "-700", {0x002F, 0x002F, 0x003F, 0x002F}, -700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + c.target);
    widget<QCheckBox>("pp_csi")->setChecked(false);
    widget<QCheckBox>("pp_cos")->setChecked(false);
    if (c.tick) click(c.tick);
    if (c.tick2) click(c.tick2);
    widget<QComboBox>("PPmovemode")->setCurrentText(QLatin1String(c.mode));
    type("weg_edit", QLatin1String(c.target));
    BusRecorder bus(*world().bus);
    click("dogrid");
    EXPECT_EQ(controlwords(bus), c.sent) << log.all().toStdString();
    EXPECT_TRUE(processUntil([&] { return position() == c.reached; })) << position();
    EXPECT_EQ(nodeValue(kNode, 0x607A) & 0xFFFFFFFF, std::int64_t(std::uint32_t(std::atoi(c.target))));
    EXPECT_TRUE(widget("dogrid")->isEnabled());
  }
  EXPECT_FALSE(log.contains("cancelled")) << log.all().toStdString();
}

TEST_F(PPVelTest, StartsThatCannotRunWriteNothing) {
  struct Case {
    const char* page;
    const char* field;  // nullptr: all fields valid, the drive is not powered
    const char* text;
    const char* logged;
  };
  const Case cases[] = {
      {"tabPPMode", nullptr, nullptr, "You have to Power on the device before starting the profile"},
      {"tabVelMode", nullptr, nullptr, "You have to Power on the device before starting the profile"},
      {"tabPPMode", "weg_edit", "abc", "Target Position: 'abc' is not a number"},
      {"tabPPMode", "weg_edit", "", "Target Position: '' is not a number"},
      {"tabPPMode", "PPmaxspeed", "-", "Max Velocity: '-' is not a number"},
      {"tabPPMode", "weg_edit", "3000000000", "Target Position: 3000000000 is out of range"},
      {"tabPPMode", "PPminspeed", "-5", "Min Velocity: -5 is out of range"},
      {"tabPPMode", "PPaccel", "0", "Acceleration: 0 is out of range"},
      {"tabPPMode", "PPqsdecel", "12a", "Quick Stop Deceleration: '12a' is not a number"},
      {"tabVelMode", "VLtarvel", "40000", "Target Velocity: 40000 is out of range"},
      {"tabVelMode", "VLacceln", "0", "Acceleration sec: 0 is out of range"},
      {"tabVelMode", "VLdecelz", "x", "Deceleration steps: 'x' is not a number"},
      {"tabVelMode", "VLmaxvel", "", "Max Velocity: '' is not a number"},
  };
  bool powered = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.page) + " " + (c.field ? c.field : "unpowered"));
    if (c.field && !powered) {
      powerOn();
      powered = true;
    }
    openDrivePage(c.page);
    if (std::string(c.page) == "tabVelMode") {
      velocityProfile("1000");
    } else {
      fastProfile();
      type("weg_edit", "100");
    }
    if (c.field) type(c.field, QLatin1String(c.text));
    const std::uint16_t before = controlword();
    BusRecorder bus(*world().bus);
    log.lines.clear();
    click(std::string(c.page) == "tabVelMode" ? "StartBtnVel" : "dogrid");
    EXPECT_TRUE(log.contains(c.logged)) << log.all().toStdString();
    EXPECT_TRUE(bus.downloads(kNode).empty());
    EXPECT_EQ(controlword(), before);
    EXPECT_TRUE(widget("StartBtnVel")->isEnabled());
    EXPECT_TRUE(widget("dogrid")->isEnabled());
  }
}

TEST_F(PPVelTest, DriveFallingSilentDuringAStartLeavesItStopped) {
  struct Case {
    const char* page;
    const char* start;
  };
  const Case cases[] = {{"tabPPMode", "dogrid"}, {"tabVelMode", "StartBtnVel"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    ASSERT_TRUE(processUntil([&] { return driveState(kNode) != P::QuickStopActive; }));
    powerOn();
    openDrivePage(c.page);
    if (std::string(c.page) == "tabVelMode") {
      velocityProfile("300");
    } else {
      fastProfile();
      type("weg_edit", "5000");
    }
    // Silent from the middle of the first transfer of the start on.
    QTimer::singleShot(0, form.get(), [this] { world().host->setSilent(kNode, true); });
    log.lines.clear();
    click(c.start);
    world().host->setSilent(kNode, false);
    EXPECT_TRUE(log.contains("Start cancelled: the drive was halted") || log.contains("reading STATUSWORD failed"))
        << log.all().toStdString();
    // Halted, or switched off by the quick stop sent when the controlword could not be read.
    EXPECT_TRUE((controlword() & 0x0100) || driveState(kNode) != P::OperationEnabled) << log.all().toStdString();
    EXPECT_FALSE(processUntil([&] { return velocity() != 0; }, 500ms));
    EXPECT_TRUE(widget(c.start)->isEnabled());
  }
}

TEST_F(PPVelTest, VelocityRunReachesItsSpeedChangesItAndStops) {
  powerOn();
  openDrivePage("tabVelMode");
  velocityProfile("300");  // 0x604C 60/2000: 300 turns into 10000 increments/s
  BusRecorder bus(*world().bus);
  click("StartBtnVel");
  const auto sent = controlwords(bus);
  // Halted with the ramp ready while the target goes out, then released.
  ASSERT_EQ(sent.size(), 2u) << log.all().toStdString();
  EXPECT_EQ(sent[0], 0x017F);
  EXPECT_EQ(sent[1], 0x007F);
  EXPECT_EQ(widget<QPushButton>("btnVelocityHalt")->text(), "HALT clear");
  EXPECT_TRUE(processUntil([&] { return velocity() == 10000; })) << velocity();
  click("btnrefreshCurrentSpeed");
  EXPECT_EQ(text("lblCurrentSpeed"), "300");

  // A new target while running: the motor follows, the controlword stays.
  const std::size_t mark = bus.frames().size();
  type("VLtarvel", "-150");
  click("btnSetCurrentSpeed");
  EXPECT_TRUE(controlwords(bus, mark).empty());
  EXPECT_TRUE(processUntil([&] { return velocity() == -5000; })) << velocity();

  click("StopBtnVel");
  EXPECT_TRUE(processUntil([&] { return (controlword() & 0x0100) != 0; }));
  EXPECT_EQ(controlword() & 0x0070, 0x0070);  // the ramp stays on: the motor brakes along it
  EXPECT_TRUE(processUntil([&] { return velocity() == 0; })) << velocity();
  EXPECT_EQ(driveState(kNode), P::OperationEnabled);  // stopped, still powered
  EXPECT_EQ(widget<QPushButton>("btnVelocityHalt")->text(), "HALT set");

  // Start again after a stop: halted while the values go out, then released.
  const std::size_t again = bus.frames().size();
  type("VLtarvel", "0");  // standstill is a target too
  click("StartBtnVel");
  EXPECT_EQ(controlwords(bus, again), (std::vector<std::uint16_t>{0x017F, 0x007F}));
  EXPECT_EQ(std::int16_t(nodeValue(kNode, 0x6042)), 0);
  EXPECT_EQ(widget<QLineEdit>("VLtarvel")->text(), "0");
}

TEST_F(PPVelTest, TargetVelocityLimitsApplyToNonZeroTargets) {
  openDrivePage("tabVelMode");
  struct Case {
    const char* target;
    const char* min;
    const char* max;
    std::int16_t written;
  };
  const Case cases[] = {
      {"0", "60", "25000", 0},           {"10", "60", "25000", 60},   {"-10", "60", "25000", -60},
      {"-30000", "60", "25000", -25000}, {"500", "60", "25000", 500}, {"0x200", "60", "300", 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    type("VLtarvel", QLatin1String(c.target));
    type("VLminvel", QLatin1String(c.min));
    type("VLmaxvel", QLatin1String(c.max));
    BusRecorder bus(*world().bus);
    click("btnSetCurrentSpeed");
    EXPECT_EQ(std::int16_t(nodeValue(kNode, 0x6042)), c.written);
    EXPECT_EQ(widget<QLineEdit>("VLtarvel")->text().toInt(nullptr, 0), c.written);
    EXPECT_EQ(bus.downloads(kNode), std::vector<std::uint16_t>{0x6042});  // the controlword stays
  }
}

TEST_F(PPVelTest, LeavingThePageStopsTheMotion) {
  powerOn();
  struct Case {
    const char* page;
    const char* start;
    const char* leaveTo;
  };
  const Case cases[] = {{"tabPPMode", "dogrid", "tabVelMode"}, {"tabVelMode", "StartBtnVel", "tabRefMode"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    openDrivePage(c.page);
    if (std::string(c.page) == "tabPPMode") {
      type("PPmaxspeed", "2000");  // a long move: 100000 steps at 2000 steps/s
      type("weg_edit", "100000");
    } else {
      velocityProfile("300");
      widget<QCheckBox>("chkPollCurrentSpeed")->setChecked(true);
    }
    click(c.start);
    ASSERT_TRUE(processUntil([&] { return velocity() != 0; })) << log.all().toStdString();
    openDrivePage(c.leaveTo);
    EXPECT_TRUE(processUntil([&] { return (controlword() & 0x0100) != 0; }));
    EXPECT_TRUE(processUntil([&] { return velocity() == 0; })) << velocity();
    EXPECT_FALSE(widget<QCheckBox>("chkPollCurrentSpeed")->isChecked());
  }
}

TEST_F(PPVelTest, AutoRefreshFollowsTheSpeedUntilTheDriveFallsSilent) {
  powerOn();
  openDrivePage("tabVelMode");
  velocityProfile("600");
  widget<QCheckBox>("chkPollCurrentSpeed")->setChecked(true);
  EXPECT_TRUE(form->ioRefreshTimer()->isActive());
  click("StartBtnVel");
  EXPECT_TRUE(processUntil([&] { return text("lblCurrentSpeed") == "600"; })) << text("lblCurrentSpeed").toStdString();

  // One failure short of the limit, then a silent drive: the next tick gives up.
  StringGridSDODataSource::sdoFailureCount = 10;
  world().host->setSilent(kNode, true);
  EXPECT_TRUE(processUntil([&] { return log.contains("Connection Problems detected"); }, scaled(20s)));
  world().host->setSilent(kNode, false);
  EXPECT_TRUE(log.contains(") Connection Problems detected, IO/Velocity Mode Auto Refresh disabled!"));
  EXPECT_FALSE(widget<QCheckBox>("chkPollCurrentSpeed")->isChecked());
  EXPECT_FALSE(form->ioRefreshTimer()->isActive());
  click("StopBtnVel");
  EXPECT_TRUE(processUntil([&] { return velocity() == 0; }));
}

TEST_F(PPVelTest, ClosingTheWindowMidMoveSendsNothingMore) {
  powerOn();
  openDrivePage("tabVelMode");
  velocityProfile("300");
  widget<QCheckBox>("chkPollCurrentSpeed")->setChecked(true);  // the refresh timer runs too
  click("StartBtnVel");
  ASSERT_TRUE(processUntil([&] { return velocity() == 10000; }));
  BusRecorder bus(*world().bus);
  form->close();
  const std::size_t atClose = bus.requestsTo(kNode);
  EXPECT_FALSE(processUntil([] { return false; }, 1500ms));  // ticks and stops that were due
  EXPECT_EQ(bus.requestsTo(kNode), atClose);
  form.reset();
}

}  // namespace
}  // namespace mainwindow_test
