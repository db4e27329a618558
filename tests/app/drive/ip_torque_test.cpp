// The interpolated position and torque pages against a simulated drive: the
// SYNC master's frames and the drive following them, Start and Stop of both
// pages from the controlword the drive holds, the field limits, and the
// torque page's refusal without closed loop.
#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QPushButton>

#include "node/Drive402.h"

namespace mainwindow_test {
namespace {

namespace cia402 = kestrum::canopen::cia402;
using P = cia402::PowerState;
using kestrum::sim::CanFrame;
using kestrum::sim::Drive402;
using kestrum::sim::NmtState;
using kestrum::sim::SimNode;

constexpr std::uint8_t kNode = 1;
constexpr char kNotPowered[] = "You have to Power on the device before starting the profile";

class IpTorqueTest : public MainWindowTest {
 protected:
  /// Writes an object of the drive as its firmware takes it, without bus traffic.
  void command(std::uint16_t index, std::int64_t value, int size) {
    world().host->withNode(kNode, [&](SimNode& n, std::uint64_t now) {
      kestrum::sim::Bytes bytes;
      for (int i = 0; i < size; ++i) bytes.push_back(std::uint8_t(value >> (8 * i)));
      ASSERT_EQ(n.writeObject(index, 0, bytes), 0u) << std::hex << index;
      n.behaviour<Drive402>()->written(n, index, 0, now);
    });
  }
  std::uint16_t controlword() { return std::uint16_t(nodeValue(kNode, 0x6040)); }
  std::int32_t signedValue(std::uint16_t index) { return std::int32_t(nodeValue(kNode, index)); }
  void powerOn() {
    click("Button1");
    ASSERT_EQ(driveState(kNode), P::OperationEnabled) << log.all().toStdString();
  }
};

// ---- Interpolated position -----------------------------------------------------

class IpTorqueIpModeTest : public IpTorqueTest {
 protected:
  void SetUp() override {
    world().addNode(kNode);
    // Receive PDO 3 carries the interpolation data from the page's default identifier.
    setNodeValue(kNode, 0x1402, 1, 0x80000401, 4);
    setNodeValue(kNode, 0x1602, 0, 0, 1);
    setNodeValue(kNode, 0x1602, 1, 0x60C10120, 4);
    setNodeValue(kNode, 0x1602, 0, 1, 1);
    setNodeValue(kNode, 0x1402, 1, 0x401, 4);
    startConnected();
    click("startBtn");
    ASSERT_TRUE(processUntil([&] { return nmtState() == NmtState::Operational; }));
    openDrivePage("tabIPMode");
  }
  NmtState nmtState() {
    NmtState state = NmtState::Initialising;
    world().host->withNode(kNode, [&](SimNode& n, std::uint64_t) { state = n.nmtState(); });
    return state;
  }
  void runSync(const QString& periodMs) {
    type("IpmodeSyncTimeEdit", periodMs);
    widget<QCheckBox>("IpmodeSyncCheckBox")->setChecked(true);
  }
  static std::vector<CanFrame> withId(const std::vector<CanFrame>& frames, std::uint32_t id) {
    std::vector<CanFrame> out;
    for (const CanFrame& f : frames)
      if (f.id == id) out.push_back(f);
    return out;
  }
  static std::int32_t positionOf(const CanFrame& f) {
    return std::int32_t(std::uint32_t(f.data[0]) | std::uint32_t(f.data[1]) << 8 | std::uint32_t(f.data[2]) << 16 |
                        std::uint32_t(f.data[3]) << 24);
  }
  QString field(const char* name) { return widget<QLineEdit>(name)->text(); }
};

TEST_F(IpTorqueIpModeTest, SyncFramesCarryTheGrowingPositionAndTheDriveFollowsOnlyAfterStart) {
  EXPECT_EQ(nodeValue(kNode, 0x6060), 7);
  EXPECT_EQ(text("lblBit12"), "IP Mode active");
  powerOn();
  BusRecorder recorder(*world().bus);
  type("IpmodeIncrementEdit", "10");
  runSync("50");
  ASSERT_TRUE(processUntil([&] { return withId(recorder.frames(), 0x401).size() >= 4; }));

  // Each SYNC is followed by the next position, 10 further on.
  const auto frames = recorder.frames();
  const auto positions = withId(frames, 0x401);
  for (const CanFrame& sync : withId(frames, 0x80)) {
    EXPECT_EQ(sync.dlc, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(sync.data[i], 0) << i;
  }
  for (std::size_t i = 0; i < positions.size(); ++i) {
    EXPECT_EQ(positions[i].dlc, 8);
    EXPECT_EQ(positionOf(positions[i]), std::int32_t(10 * (i + 1)));
    for (int b = 4; b < 8; ++b) EXPECT_EQ(positions[i].data[b], 0);
  }
  EXPECT_EQ(nodeValue(kNode, 0x6064), 0);  // frames alone do not move the drive

  click("IpmodeStartButton");
  EXPECT_EQ(controlword() & 0x0110, 0x0010) << log.all().toStdString();  // interpolation on, halt released
  EXPECT_FALSE(widget("IpmodePositionEdit")->isEnabled());
  EXPECT_TRUE(widget("IpmodeStartButton")->isEnabled());
  ASSERT_TRUE(processUntil([&] { return nodeValue(kNode, 0x6041) & 0x1000; }));  // interpolation active
  const std::int32_t from = signedValue(0x6064);
  ASSERT_TRUE(processUntil([&] { return signedValue(0x6064) >= from + 30; }));
  EXPECT_LE(signedValue(0x6064), field("IpmodePositionEdit").toInt());

  click("IpmodeStopButton");
  ASSERT_TRUE(processUntil([&] { return (controlword() & 0x0110) == 0x0100; }));  // halt set, bit 4 clear
  EXPECT_EQ(field("IpmodeIncrementEdit"), "0");
  EXPECT_TRUE(widget("IpmodePositionEdit")->isEnabled());
  EXPECT_EQ(driveState(kNode), P::OperationEnabled);
  // The frames go on with the target where it stands.
  const std::size_t sent = withId(recorder.frames(), 0x401).size();
  ASSERT_TRUE(processUntil([&] { return withId(recorder.frames(), 0x401).size() >= sent + 3; }));
  const auto later = withId(recorder.frames(), 0x401);
  EXPECT_EQ(positionOf(later[later.size() - 1]), positionOf(later[later.size() - 2]));
  EXPECT_EQ(positionOf(later.back()), field("IpmodePositionEdit").toInt());
}

TEST_F(IpTorqueIpModeTest, StartNeedsAnEnabledDriveAndValidFieldsLeavingThePageStops) {
  BusRecorder recorder(*world().bus);
  click("IpmodeStartButton");  // not powered
  EXPECT_TRUE(log.contains(kNotPowered)) << log.all().toStdString();
  EXPECT_EQ(controlword() & 0x0010, 0);
  EXPECT_TRUE(widget("IpmodeSyncTimeEdit")->isEnabled());
  EXPECT_TRUE(widget("IpmodeStartButton")->isEnabled());

  powerOn();
  type("IpmodeCobidPositionEdit", "0x800");
  const std::size_t downloads = recorder.downloads(kNode).size();
  click("IpmodeStartButton");
  EXPECT_TRUE(log.contains("Start: COB-ID Position Object: \"0x800\" is no valid value")) << log.all().toStdString();
  EXPECT_EQ(recorder.downloads(kNode).size(), downloads);
  EXPECT_EQ(controlword() & 0x0110, 0x0100);

  type("IpmodeCobidPositionEdit", "0x401");
  click("IpmodeStartButton");
  EXPECT_EQ(controlword() & 0x0110, 0x0010);
  widget<QTabWidget>("tabCtlDriveModes")->setCurrentWidget(widget("tabPPMode"));
  ASSERT_TRUE(processUntil([&] { return (controlword() & 0x0110) == 0x0100; }));
  EXPECT_EQ(driveState(kNode), P::OperationEnabled);
}

TEST_F(IpTorqueIpModeTest, InvalidFieldsFallBackToTheirDefaultsAtTheNextTick) {
  struct Case {
    const char* edit;
    const char* bad;
    const char* fallback;
    const char* logged;
  };
  const Case cases[] = {
      {"IpmodeIncrementEdit", "12a", "0", "Increment: \"12a\" is no valid value, 0 used"},
      {"IpmodeSyncCobidEdit", "0x", "0x80", "COB-ID Sync Object: \"0x\" is no valid value, 0x80 used"},
      {"IpmodeCobidPositionEdit", "0x800", "0x401", "COB-ID Position Object: \"0x800\" is no valid value"},
      {"IpmodePositionEdit", "2147483648", "0", "Position: \"2147483648\" is no valid value"},
      {"IpmodeSyncTimeEdit", "", "1000", "Sync time [ms]: \"\" is no valid value, 1000 used"},
  };
  runSync("20");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.edit);
    type(c.edit, c.bad);
    EXPECT_TRUE(processUntil([&] { return field(c.edit) == c.fallback; }));
    EXPECT_TRUE(log.contains(c.logged)) << log.all().toStdString();
  }
  EXPECT_EQ(widget<QTimer>("IpmodeSyncTimer")->interval(), 1000);
}

TEST_F(IpTorqueIpModeTest, PositionIsSentAsLittleEndianSigned32) {
  BusRecorder recorder(*world().bus);
  type("IpmodePositionEdit", "-11");
  type("IpmodeIncrementEdit", "10");
  runSync("50");
  ASSERT_TRUE(processUntil([&] { return !withId(recorder.frames(), 0x401).empty(); }));
  const CanFrame first = withId(recorder.frames(), 0x401).front();
  const std::uint8_t expected[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(first.data[i], expected[i]) << i;
}

TEST_F(IpTorqueIpModeTest, IncrementButtonsChangeTheIncrementOnlyWithNumbers) {
  struct Case {
    const char* increment;
    const char* prepared;
    const char* button;
    const char* expected;
  };
  const Case cases[] = {
      {"5", "3", "IpmodeIncrementPlusButton", "8"},
      {"5", "3", "IpmodeIncrementMinusButton", "2"},
      {"5", "-7", "IpmodeNewIncrementTakeButton", "-7"},
      {"5", "x", "IpmodeIncrementPlusButton", "5"},
      {"0x10", "1", "IpmodeIncrementMinusButton", "15"},
      {"2147483647", "1", "IpmodeIncrementPlusButton", "2147483647"},  // stays within 32 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.button) + " " + c.increment + " " + c.prepared);
    type("IpmodeIncrementEdit", c.increment);
    type("IpmodeNewIncrementEdit", c.prepared);
    click(c.button);
    EXPECT_EQ(field("IpmodeIncrementEdit"), c.expected);
  }
}

// ---- Torque --------------------------------------------------------------------

class IpTorqueTorqueModeTest : public IpTorqueTest {
 protected:
  void SetUp() override { world().addNode(kNode); }
  /// The short set-up run that enables the closed loop, on the drive itself.
  void enableClosedLoop() {
    command(0x2001, 3, 1);
    command(0x6060, -2, 1);
    for (std::uint16_t cw : {0x06, 0x07, 0x0F, 0x1F}) command(0x6040, cw, 2);
    ASSERT_TRUE(processUntil([&] { return nodeValue(kNode, 0x200A) == 1; }, scaled(5s)));
    command(0x6040, 0x0F, 2);
    command(0x6040, 0x00, 2);
    ASSERT_TRUE(processUntil([&] { return driveState(kNode) == P::SwitchOnDisabled; }));
  }
};

TEST_F(IpTorqueTorqueModeTest, WithoutClosedLoopThePageSendsTheUserToHoming) {
  startConnected();
  openDrivePage("tabTorqueMode");
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].caption, "State Warning");
  EXPECT_EQ(boxes.boxes()[0].text, "Closed Loop has to be enabled for Torque Mode");
  EXPECT_EQ(boxes.boxes()[0].icon, QMessageBox::Warning);
  EXPECT_EQ(widget<QTabWidget>("tabCtlDriveModes")->currentWidget()->objectName(), "tabRefMode");
  EXPECT_NE(nodeValue(kNode, 0x6060), 4);
}

TEST_F(IpTorqueTorqueModeTest, StartRunsUpToTheSpeedLimitAndStopHalts) {
  enableClosedLoop();
  startConnected();
  openDrivePage("tabTorqueMode");
  ASSERT_TRUE(boxes.boxes().empty());
  EXPECT_EQ(nodeValue(kNode, 0x6060), 4);
  EXPECT_EQ(text("lblBit12"), "not used");

  type("txtTorqueTarget", "500");
  type("txtTorqueMaxRPM", "3000");
  click("cmdStartTorque");
  EXPECT_TRUE(log.contains(kNotPowered)) << log.all().toStdString();
  EXPECT_EQ(driveState(kNode), P::SwitchOnDisabled);

  powerOn();
  log.lines.clear();
  click("cmdStartTorque");
  EXPECT_EQ(controlword() & 0x01FF, 0x000F) << log.all().toStdString();
  EXPECT_EQ(nodeValue(kNode, 0x6071), 500);
  EXPECT_EQ(nodeValue(kNode, 0x607F), 3000);
  EXPECT_TRUE(widget("cmdStartTorque")->isEnabled());
  ASSERT_TRUE(processUntil([&] { return signedValue(0x606C) == 3000; }, scaled(10s))) << signedValue(0x606C);

  click("cmdStopTorque");
  ASSERT_TRUE(processUntil([&] { return controlword() & 0x0100; }));
  EXPECT_EQ(controlword() & 0x00FF, 0x000F);  // only halt: the drive stays enabled
  ASSERT_TRUE(processUntil([&] { return signedValue(0x606C) == 0; }, scaled(10s)));
  EXPECT_EQ(driveState(kNode), P::OperationEnabled);

  // A speed beyond 32 bits shows clamped and the drive gets the clamped limit.
  type("txtTorqueMaxRPM", "3000000000");
  EXPECT_EQ(widget<QLineEdit>("txtTorqueMaxRPM")->text(), "25000");
  click("cmdStartTorque");
  EXPECT_EQ(nodeValue(kNode, 0x607F), 25000);
  click("cmdStopTorque");
  ASSERT_TRUE(processUntil([&] { return controlword() & 0x0100; }));
}

TEST_F(IpTorqueTorqueModeTest, TypedValuesAreHeldWithinTheirLimits) {
  enableClosedLoop();
  startConnected();
  openDrivePage("tabTorqueMode");
  struct Case {
    const char* edit;
    const char* typed;
    const char* shown;
  };
  const Case cases[] = {
      {"txtTorqueTarget", "1500", "1000"},   {"txtTorqueTarget", "-2000", "-1000"},
      {"txtTorqueTarget", "-999", "-999"},   {"txtTorqueMaxRPM", "30000", "25000"},
      {"txtTorqueMaxRPM", "25000", "25000"}, {"txtTorqueMaxRPM", "3000000000", "25000"},
  };
  for (const Case& c : cases) {
    type(c.edit, c.typed);
    EXPECT_EQ(widget<QLineEdit>(c.edit)->text(), c.shown) << c.edit << " " << c.typed;
  }

  // A field that is no number stops the start before anything is written.
  powerOn();
  BusRecorder recorder(*world().bus);
  type("txtTorqueTarget", "-");
  click("cmdStartTorque");
  EXPECT_TRUE(log.contains("Start: Target Torque \"-\" is no number")) << log.all().toStdString();
  EXPECT_TRUE(recorder.downloads(kNode).empty());
  EXPECT_EQ(controlword() & 0x0100, 0x0100);
}

}  // namespace
}  // namespace mainwindow_test
