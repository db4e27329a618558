// The simulated drive on a controller model of the application folder: homing,
// interpolated position, torque, the closed-loop set-up runs, following
// error, windows, limits and the motor supply.
#include <gtest/gtest.h>

#include "DriveFixture.h"

namespace kestrum::sim::test {
namespace {

namespace cia402 = canopen::cia402;
namespace sw = cia402::sw;
using P = cia402::PowerState;

constexpr std::int8_t kSetupRun = -1;
constexpr std::int8_t kShortSetupRun = -2;

class DriveModes : public DriveFixture {
 protected:
  void SetUp() override { makeDrive("Mirelo", "XML/EDS_Mirelo.xml"); }

  void mode(std::int8_t m) { set(0x6060, m, 1); }
  /// Moves in profile position to `target` and stays there.
  void moveTo(std::int32_t target) {
    mode(cia402::mode::kProfilePosition);
    profile(1000000, 10000000, 10000000);
    setPoint(target);
    ASSERT_GE(waitFor(sw::kTargetReached, 2000), 0);
    ASSERT_EQ(position(), target);
  }
  /// Runs a closed-loop set-up run to its end from power off.
  void setupRun(std::int8_t run, std::uint8_t enableMode) {
    control(0x00);
    set(0x2001, enableMode, 1);
    mode(run);
    enable();
    control(0x1F);
    ASSERT_GE(waitFor(sw::kTargetReached | sw::kHomingAttained, 4000), 0);
    control(0x0F);
  }
  bool emergencySent(std::uint16_t code) {
    for (const CanFrame& f : framesWithId(0x80 + kId))
      if ((f.data[0] | f.data[1] << 8) == code) return true;
    return false;
  }
};

TEST_F(DriveModes, HomingMethodsFindTheirReference) {
  struct Case {
    const char* what;
    std::int8_t method;
    std::int32_t start;
    bool attained;  // else the run ends in a homing error
  };
  // The reference switch is a closer on input 6 around 2000 (one output revolution).
  const Case cases[] = {
      {"closer clockwise onto the switch", 22, 0, true},
      {"closer counterclockwise onto it", 20, 5000, true},
      {"index pulse clockwise", 33, 500, true},
      {"index pulse counterclockwise", 34, 500, true},
      {"the current position", 35, 700, true},
      {"closer counterclockwise away from it", 20, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    enable();
    moveTo(c.start);
    mode(cia402::mode::kHoming);
    set(0x6098, c.method, 1);
    set(0x6099, 200000, 4, 1);  // a fast search, so that the failing one gives up soon
    set(0x6099, 2500, 4, 2);
    set(0x609A, 400000);
    set(0x607C, -300);
    control(0x1F);
    const std::uint16_t end = c.attained ? sw::kHomingAttained | sw::kTargetReached : sw::kHomingError | sw::kTargetReached;
    ASSERT_GE(waitFor(end, 4000), 0);
    EXPECT_EQ(statusword() & (sw::kHomingAttained | sw::kHomingError), end & ~sw::kTargetReached);
    if (c.attained) {
      EXPECT_EQ(position(), -300);  // the reference point is the home offset
    }
    // Input 6 shows the switch wherever the axis stands on it.
    const bool onSwitch = std::abs(position() - 2000) <= 100;
    EXPECT_EQ((value(0x60FD, 0) >> 21) & 1, onSwitch ? 1 : 0) << position();
    EXPECT_TRUE(drive->homed() == c.attained);
    control(0x00);
  }
  EXPECT_EQ(download(0x6098, 0, 1, 1), sdo_abort::kRange);  // a method these controllers lack
  EXPECT_EQ(download(0x6098, 0, 0, 1), 0u);  // none chosen: the default, written back by a list load
}

TEST_F(DriveModes, HomingOnOpenerExternalSwitchAndBlock) {
  enable();
  mode(cia402::mode::kHoming);
  set(0x609A, 100000);
  // Opener on input 6: the input is high until the switch is reached.
  drive->setReferenceSwitch(*node, 1.0, 0.05, true);
  set(0x6098, 19, 1);
  control(0x1F);
  ASSERT_GE(waitFor(sw::kHomingAttained, 3000), 0);
  control(0x0F);

  // The external I/O node reports its switch through 0x2010 (closer, clockwise).
  set(0x6098, -7, 1);
  control(0x1F);
  advanceMs(100);
  EXPECT_EQ(statusword() & (sw::kHomingAttained | sw::kTargetReached), 0);
  EXPECT_GT(velocity(), 0);
  set(0x2010, 1, 1);
  advanceMs(300);
  set(0x2010, 0, 1);
  ASSERT_GE(waitFor(sw::kHomingAttained, 3000), 0);
  EXPECT_LT(velocity(), 1);
  control(0x0F);

  // Against a block: the demand runs ahead of the motor until the block is seen.
  drive->setBlocked(true);
  set(0x6098, -3, 1);
  control(0x1F);
  ASSERT_GE(waitFor(sw::kHomingAttained, 2000), 0);
  EXPECT_EQ(state(), P::OperationEnabled);  // found before the following error window
  EXPECT_EQ(position(), 0);

  // Halt interrupts a run.
  control(0x0F);
  drive->setBlocked(false);
  set(0x6098, 20, 1);
  control(0x1F);
  advanceMs(50);
  control(0x10F);
  ASSERT_GE(waitFor(sw::kTargetReached, 2000), 0);
  EXPECT_EQ(statusword() & (sw::kHomingAttained | sw::kHomingError), 0);
}

TEST_F(DriveModes, InterpolatedPositionFollowsTheSyncDrivenSetPoints) {
  // Receive PDO 2 carries the interpolation data, in the CiA 301 order.
  const std::uint32_t cob = 0x300 + kId;
  set(0x1401, 0x80000000u | cob, 4, 1);
  set(0x1601, 0, 1, 0);
  set(0x1601, 0x60C10120, 4, 1);
  set(0x1601, 1, 1, 0);
  set(0x1401, cob, 4, 1);
  nmt(canopen::nmt::kStart);
  mode(cia402::mode::kInterpolatedPosition);
  enable();
  EXPECT_FALSE(statusword() & sw::kInterpolationActive);
  control(0x1F);
  EXPECT_TRUE(statusword() & sw::kInterpolationActive);
  auto sendPosition = [&](std::int32_t p) {
    send(cob, {std::uint8_t(p), std::uint8_t(p >> 8), std::uint8_t(p >> 16), std::uint8_t(p >> 24), 0, 0, 0, 0});
  };
  // Each SYNC starts the way to the position the PDO brought after the one before.
  for (std::int32_t p : {100, 200, 300, 300}) {
    send(0x80, {});
    sendPosition(p);
    advanceMs(5);
    if (p > 100 && p < 300) {
      EXPECT_NEAR(value(0x6064, 0), p - 150, 2);
    }
    advanceMs(5);
  }
  EXPECT_EQ(value(0x6064, 0), 300);
  EXPECT_TRUE(statusword() & sw::kTargetReached);
  control(0x0F);  // interpolation off: SYNCs no longer move it
  send(0x80, {});
  sendPosition(900);
  send(0x80, {});
  advanceMs(20);
  EXPECT_EQ(value(0x6064, 0), 300);
  EXPECT_FALSE(statusword() & sw::kInterpolationActive);
}

TEST_F(DriveModes, SetupRunsMeasureAndEnableTheClosedLoop) {
  // Torque needs the closed loop, which is off until a set-up run enabled it.
  EXPECT_EQ(value(0x200A, 0), 0);
  EXPECT_EQ(download(0x6060, 0, 4, 1), sdo_abort::kDeviceState);

  setupRun(kShortSetupRun, 3);
  EXPECT_EQ(value(0x200A, 0), 1);
  EXPECT_EQ(value(0x200B, 0), 120 + 7 * kId);
  EXPECT_EQ(value(0x200C, 3), 0);  // the short run measures no load angles
  EXPECT_EQ(position(), 0);        // it swings and returns

  control(0x00);
  set(0x2001, 1, 1);
  EXPECT_EQ(value(0x200A, 0), 0);  // "after the long run", which has not run
  mode(kSetupRun);
  enable();
  control(0x1F);
  advanceMs(1500);
  EXPECT_FALSE(statusword() & sw::kTargetReached);
  EXPECT_NE(value(0x6062, 0), 0);
  ASSERT_GE(waitFor(sw::kTargetReached | sw::kHomingAttained, 2000), 0);
  for (std::uint8_t k = 1; k <= 7; ++k) EXPECT_GT(value(0x200C, k), 0) << int(k);
  EXPECT_EQ(value(0x200A, 0), 1);

  // A failing run faults the drive with the encoder error.
  control(0x0F);
  drive->failNextSetup();
  control(0x1F);
  out.clear();
  advanceMs(2000);
  EXPECT_TRUE(emergencySent(0x7305));
  EXPECT_EQ(state(), P::Fault);
  EXPECT_EQ(value(0x603F, 0), 0x7305);
}

TEST_F(DriveModes, TorqueAcceleratesToTheSpeedLimit) {
  setupRun(kShortSetupRun, 3);
  control(0x00);
  mode(cia402::mode::kProfileTorque);
  EXPECT_EQ(value(0x6061, 0), cia402::mode::kProfileTorque);
  set(0x607F, 5000);
  set(0x6084, 100000);
  set(0x6087, 0);  // no torque slope: the target at once
  enable();
  set(0x6071, 500, 2);
  advanceMs(20);
  EXPECT_NEAR(velocity(), 2000, 150);  // half the rated torque: 100000 increments/s²
  EXPECT_TRUE(statusword() & sw::kTargetReached);
  advanceMs(100);
  EXPECT_EQ(velocity(), 5000);
  EXPECT_TRUE(statusword() & sw::kInternalLimit);
  EXPECT_EQ(value(0x6077, 0), 500);
  control(0x10F);  // halt
  advanceMs(60);
  EXPECT_EQ(velocity(), 0);
  EXPECT_EQ(value(0x6077, 0), 0);
}

TEST_F(DriveModes, BlockedMoveEndsInAFollowingErrorFault) {
  profile(5000, 10000, 10000);
  enable();
  drive->setBlocked(true);
  setPoint(10000);
  // The lag passes the window of 1000 after about 0.45 s, the time-out is 100 ms.
  advanceMs(500);
  EXPECT_EQ(state(), P::OperationEnabled);
  EXPECT_TRUE(statusword() & sw::kWarning);
  out.clear();
  advanceMs(200);
  EXPECT_TRUE(emergencySent(0x8611));
  EXPECT_EQ(state(), P::Fault);
  EXPECT_TRUE(statusword() & sw::kFollowingError);
  EXPECT_EQ(position(), 0);
  EXPECT_EQ(value(0x6062, 0), 0);  // the demand came back to the motor
  drive->setBlocked(false);
  control(0x80);
  EXPECT_EQ(state(), P::SwitchOnDisabled);
  EXPECT_FALSE(statusword() & sw::kFollowingError);
  enable();
  advanceMs(50);
  EXPECT_EQ(position(), 0);  // nothing left over from the failed move
}

TEST_F(DriveModes, PositionWindowTimeDelaysTargetReached) {
  set(0x6068, 50, 2);
  profile(100000, 1000000, 1000000);
  enable();
  setPoint(3000);
  long arrived = -1;
  for (long ms = 0; ms < 500 && arrived < 0; ++ms) {
    if (position() == 3000) arrived = ms;
    else advanceMs(1);
  }
  ASSERT_GE(arrived, 0);
  EXPECT_FALSE(statusword() & sw::kTargetReached);
  EXPECT_NEAR(waitFor(sw::kTargetReached, 200), 50, 2);
}

TEST_F(DriveModes, VelocityLimitsAndDimensionFactor) {
  mode(cia402::mode::kProfileVelocity);
  profile(0, 100000, 100000);
  set(0x607F, 3000);
  enable();
  set(0x60FF, 5000);
  advanceMs(100);
  EXPECT_EQ(velocity(), 3000);
  EXPECT_EQ(statusword() & (sw::kInternalLimit | sw::kTargetReached), sw::kInternalLimit | sw::kTargetReached);
  set(0x60FF, 0);
  advanceMs(100);

  // Velocity mode in rpm: 60 / 2000 per increment per second.
  mode(cia402::mode::kVelocity);
  set(0x6048, 100000, 4, 1);
  set(0x6049, 100000, 4, 1);
  control(0x7F);
  set(0x6042, 300, 2);
  advanceMs(50);
  EXPECT_EQ(value(0x6044, 0), 300);
  EXPECT_EQ(velocity(), 10000);
  set(0x6042, -10, 2);  // below the minimum amount of 60
  advanceMs(50);
  EXPECT_EQ(value(0x6044, 0), -60);
  EXPECT_TRUE(statusword() & sw::kInternalLimit);
}

TEST_F(DriveModes, SupplyOffFaultsAndKeepsThePowerStageOff) {
  enable();
  out.clear();
  drive->setSupply(*node, false, now);
  advanceMs(5);
  EXPECT_TRUE(emergencySent(0x3100));
  EXPECT_EQ(state(), P::Fault);
  EXPECT_FALSE(statusword() & sw::kVoltageEnabled);
  EXPECT_EQ(value(0x1001, 0) & 0x01, 1);
  out.clear();
  control(0x80);
  EXPECT_TRUE(emergencySent(0x0000));  // error reset: the register clears
  EXPECT_EQ(value(0x1001, 0), 0);
  control(0x06);
  control(0x0F);  // refused without the supply
  EXPECT_EQ(state(), P::ReadyToSwitchOn);
  drive->setSupply(*node, true, now);
  control(0x0F);
  EXPECT_EQ(state(), P::OperationEnabled);
  EXPECT_TRUE(statusword() & sw::kVoltageEnabled);
}

}  // namespace
}  // namespace kestrum::sim::test
