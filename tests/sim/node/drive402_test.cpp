// The simulated drive: CiA 402 power state machine and the motion of its modes.
#include <gtest/gtest.h>

#include "DriveFixture.h"
#include "canopen/Cia402.h"
#include "node/DeviceBehaviours.h"
#include "node/Drive402.h"

namespace kestrum::sim::test {
namespace {

namespace cia402 = canopen::cia402;
using P = cia402::PowerState;

class Drive402Test : public DriveFixture {
 protected:
  void SetUp() override { makeDrive("TestoDrive", testDataDir() + "/XML/EDS_TestoDrive.xml"); }
};

TEST_F(Drive402Test, StartsSwitchOnDisabledAndIsAddedOnlyToDrives) {
  EXPECT_EQ(statusword(), 0x0240);  // switch on disabled, remote, no warning
  EXPECT_EQ(value(0x6061, 0), 1);

  // The host's hook gives a drive dictionary its drive, and nothing else one.
  std::string error;
  auto other = SimNode::fromEds(SimNode::Config{7, "TestoDrive", ""}, testDataDir() + "/XML/EDS_TestoDrive.xml", error);
  ASSERT_TRUE(other) << error;
  addDeviceBehaviours(*other);
  other->setPowered(true, now);
  other->poll(now);
  EXPECT_EQ(other->dictionary().number(0x6041, 0), 0x0240);  // the dictionary's own default is 0x0250
  const SimNode bare(SimNode::Config{8, "None", ""}, ObjectDictionary{});
  EXPECT_FALSE(Drive402::fits(bare));
}

TEST_F(Drive402Test, EveryTransitionOfTheDiagram) {
  struct Step {
    const char* what;
    std::uint16_t cw;
    std::uint16_t status;  // bits 0..6 with voltage enabled and quick stop, remote set
  };
  // Each row starts where the one before it ended.
  const Step steps[] = {
      {"2 shutdown", 0x06, 0x0231},          {"3 switch on", 0x07, 0x0233},
      {"4 enable operation", 0x0F, 0x0237},  {"5 disable operation", 0x07, 0x0233},
      {"6 shutdown", 0x06, 0x0231},          {"7 disable voltage", 0x00, 0x0240},
      {"2", 0x06, 0x0231},                   {"7 quick stop", 0x02, 0x0240},
      {"2", 0x06, 0x0231},                   {"3+4 at once", 0x0F, 0x0237},
      {"8 shutdown", 0x06, 0x0231},          {"3", 0x07, 0x0233},
      {"10 disable voltage", 0x00, 0x0240},  {"2", 0x06, 0x0231},
      {"3", 0x07, 0x0233},                   {"10 quick stop", 0x02, 0x0240},
      {"2", 0x06, 0x0231},                   {"3+4", 0x0F, 0x0237},
      {"9 disable voltage", 0x00, 0x0240},   {"switch on refused here", 0x07, 0x0240},
      {"enable refused here", 0x0F, 0x0240}, {"2", 0x06, 0x0231},
      {"4 needs 3 first", 0x0F, 0x0237},
  };
  for (const Step& s : steps) {
    control(s.cw);
    EXPECT_EQ(statusword() & 0x02FF, s.status) << s.what;
  }
}

TEST_F(Drive402Test, ControlwordByPdoAndStatuswordInThePdo) {
  nmt(canopen::nmt::kStart);
  advanceMs(1);
  out.clear();
  send(0x200 + kId, {0x06, 0x00});  // receive PDO 1 carries the controlword
  advanceMs(1);
  const auto tpdo = framesWithId(0x180 + kId);
  ASSERT_FALSE(tpdo.empty());
  EXPECT_EQ(tpdo.back().data[0] | tpdo.back().data[1] << 8, 0x0231);
  EXPECT_EQ(state(), P::ReadyToSwitchOn);
}

TEST_F(Drive402Test, QuickStopEndsByTheOptionCode) {
  struct Case {
    std::int16_t option;
    long stopMs;  // from 2000: 20 ms on the quick stop ramp, 100 ms on the profile's
    P after;      // once stopped
  };
  for (const Case& c : {Case{0, 0, P::SwitchOnDisabled}, Case{1, 100, P::SwitchOnDisabled},
                        Case{2, 20, P::SwitchOnDisabled}, Case{4, 20, P::SwitchOnDisabled},
                        Case{5, 100, P::QuickStopActive}, Case{6, 20, P::QuickStopActive},
                        Case{8, 20, P::QuickStopActive}}) {
    SCOPED_TRACE(c.option);
    set(0x605A, c.option, 2);
    set(0x6060, cia402::mode::kProfileVelocity, 1);
    set(0x6085, 100000);
    profile(0, 100000, 20000);
    enable();
    set(0x60FF, 2000);
    advanceMs(300);
    ASSERT_EQ(velocity(), 2000);
    control(0x0B);  // 11: quick stop
    if (c.option != 0) {
      EXPECT_EQ(statusword() & 0x026F, 0x0207);  // quick stop active while stopping
      advanceMs(c.stopMs - 8);
      EXPECT_NE(velocity(), 0);
    }
    advanceMs(10);
    EXPECT_EQ(velocity(), 0);
    EXPECT_EQ(state(), c.after);
    control(0x0F);  // 16 only where quick stop active remains
    EXPECT_EQ(state(), c.after == P::QuickStopActive ? P::OperationEnabled : P::SwitchOnDisabled);
    set(0x60FF, 0);
    control(0x00);
  }
  // 12 by disable voltage while the quick stop holds the drive.
  set(0x605A, 6, 2);
  enable();
  control(0x0B);
  advanceMs(5);
  EXPECT_EQ(state(), P::QuickStopActive);
  control(0x00);
  EXPECT_EQ(state(), P::SwitchOnDisabled);
}

TEST_F(Drive402Test, FaultAndResetOnTheRisingEdge) {
  enable();
  out.clear();
  drive->fault(*node, 0x2310, now);
  EXPECT_EQ(framesWithId(0x80 + kId).size(), 1u);  // the emergency went out
  EXPECT_EQ(state(), P::FaultReactionActive);
  EXPECT_EQ(value(0x603F, 0), 0x2310);
  advanceMs(2);
  EXPECT_EQ(statusword() & 0x02FF, 0x0218);
  control(0x0F);  // no command leaves fault
  EXPECT_EQ(state(), P::Fault);
  control(0x8F);  // 15 on the edge
  EXPECT_EQ(state(), P::SwitchOnDisabled);
  drive->fault(*node, 0x2310, now);
  advanceMs(2);
  control(0x86);  // bit 7 still high: no edge
  EXPECT_EQ(state(), P::Fault);
  control(0x06);
  control(0x86);
  EXPECT_EQ(state(), P::SwitchOnDisabled);
}

TEST_F(Drive402Test, NmtResetReturnsToSwitchOnDisabled) {
  for (std::uint8_t command : {canopen::nmt::kResetNode, canopen::nmt::kResetCommunication}) {
    enable();
    nmt(command);
    advanceMs(1);
    EXPECT_EQ(statusword(), 0x0240);
  }
  enable();
  node->powerCycle(now);
  advanceMs(1);
  EXPECT_EQ(statusword(), 0x0240);
}

TEST_F(Drive402Test, ProfilePositionMoveWithHandshake) {
  profile(5000, 10000, 10000);  // 0.5 s ramps of 1250 each, 1.5 s at 5000: 2.5 s
  enable();
  EXPECT_TRUE(statusword() & cia402::sw::kTargetReached);  // holding where it stands
  set(0x607A, 10000);
  control(0x1F);
  EXPECT_EQ(statusword() & 0x1400, 0x1000);  // acknowledged, on its way
  advanceMs(100);
  EXPECT_TRUE(statusword() & cia402::sw::kSetPointAcknowledge);  // until bit 4 falls
  control(0x0F);
  EXPECT_FALSE(statusword() & cia402::sw::kSetPointAcknowledge);
  advanceMs(900);
  EXPECT_EQ(velocity(), 5000);
  const long ms = waitFor(cia402::sw::kTargetReached, 3000);
  EXPECT_GE(ms + 1000, 2450);
  EXPECT_LE(ms + 1000, 2600);
  EXPECT_EQ(position(), 10000);
  EXPECT_EQ(velocity(), 0);
  EXPECT_EQ(value(0x6062, 0), 10000);

  setPoint(-2000, cia402::cw::kRelative);  // relative to the target held
  EXPECT_GE(waitFor(cia402::sw::kTargetReached, 3000), 0);
  EXPECT_EQ(position(), 8000);
}

TEST_F(Drive402Test, HaltStopsShortAndResumes) {
  profile(5000, 10000, 10000);
  enable();
  setPoint(10000);
  advanceMs(800);
  control(0x10F);
  advanceMs(700);
  EXPECT_EQ(velocity(), 0);
  const std::int32_t stopped = position();
  EXPECT_GT(stopped, 2000);
  EXPECT_LT(stopped, 8000);
  EXPECT_TRUE(statusword() & cia402::sw::kTargetReached);  // halt: stopped counts as reached
  advanceMs(200);
  EXPECT_EQ(position(), stopped);
  control(0x0F);
  EXPECT_FALSE(statusword() & cia402::sw::kTargetReached);
  EXPECT_GE(waitFor(cia402::sw::kTargetReached, 4000), 0);
  EXPECT_EQ(position(), 10000);
}

TEST_F(Drive402Test, QuickStopEndsAProfilePositionMove) {
  set(0x605A, 6, 2);  // stays in quick stop active
  set(0x6085, 50000);
  profile(5000, 10000, 10000);
  enable();
  setPoint(10000);
  advanceMs(800);
  control(0x0B);
  advanceMs(200);
  EXPECT_EQ(statusword() & 0x046F, 0x0407);  // quick stop active, stopped
  const std::int32_t stopped = position();
  EXPECT_LT(stopped, 4000);  // shorter than the 0x6084 ramp would have gone
  control(0x0F);  // 16: enabled again, without the abandoned target
  advanceMs(500);
  EXPECT_EQ(position(), stopped);
  EXPECT_TRUE(statusword() & cia402::sw::kTargetReached);
}

TEST_F(Drive402Test, SetPointsBufferedOrChangedImmediately) {
  profile(5000, 10000, 10000);
  enable();
  setPoint(10000);
  advanceMs(300);
  setPoint(4000);  // buffered: the move to 10000 completes first
  EXPECT_GE(waitFor(cia402::sw::kTargetReached, 6000), 0);
  EXPECT_EQ(position(), 4000);

  setPoint(10000);
  advanceMs(300);
  setPoint(5000, cia402::cw::kChangeSetImmediately);  // turns before reaching 10000
  std::int32_t highest = 0;
  for (int i = 0; i < 3000 && !(statusword() & cia402::sw::kTargetReached); ++i) {
    highest = std::max(highest, position());
    advanceMs(1);
  }
  EXPECT_LT(highest, 7000);
  EXPECT_EQ(position(), 5000);
}

TEST_F(Drive402Test, ModeDisplayFollowsOnlyAtStandstill) {
  profile(5000, 10000, 10000);
  enable();
  setPoint(10000);
  advanceMs(200);
  set(0x6060, cia402::mode::kProfileVelocity, 1);
  advanceMs(10);
  EXPECT_EQ(value(0x6061, 0), cia402::mode::kProfilePosition);
  EXPECT_GE(waitFor(cia402::sw::kTargetReached, 3000), 0);
  EXPECT_EQ(position(), 10000);  // the move ends in the mode it began in
  advanceMs(1);
  EXPECT_EQ(value(0x6061, 0), cia402::mode::kProfileVelocity);
  // At standstill the display follows at once.
  set(0x6060, cia402::mode::kVelocity, 1);
  EXPECT_EQ(value(0x6061, 0), cia402::mode::kVelocity);
}

TEST_F(Drive402Test, ProfileVelocityReachesSpeedAndStops) {
  set(0x6060, cia402::mode::kProfileVelocity, 1);
  profile(0, 4000, 8000);
  enable();
  EXPECT_EQ(statusword() & 0x1400, 0x1400);  // at speed 0: reached, speed zero
  set(0x60FF, -2000);
  const long ms = waitFor(cia402::sw::kTargetReached, 2000);
  EXPECT_NEAR(ms, 500, 5);  // 2000 / 4000 s
  EXPECT_EQ(velocity(), -2000);
  EXPECT_FALSE(statusword() & cia402::sw::kSpeedZero);
  EXPECT_LT(position(), -400);
  control(0x10F);  // halt: decelerates to 0
  EXPECT_NEAR(waitFor(cia402::sw::kSpeedZero, 2000), 250, 5);
  EXPECT_TRUE(statusword() & cia402::sw::kTargetReached);
}

TEST_F(Drive402Test, VelocityModeRampsThroughItsGenerator) {
  set(0x6060, cia402::mode::kVelocity, 1);
  ASSERT_EQ(download(0x6048, 1, 1000), 0u);  // 1000 per 1 s
  ASSERT_EQ(download(0x6049, 1, 2000), 0u);
  enable();
  set(0x6042, 500, 2);
  advanceMs(100);
  EXPECT_EQ(value(0x6043, 0), 0);  // ramp bits clear: no motion
  control(0x7F);
  advanceMs(250);
  EXPECT_NEAR(value(0x6043, 0), 250, 2);
  advanceMs(300);
  EXPECT_EQ(value(0x6044, 0), 500);
  control(0x5F);  // unlock off: held
  set(0x6042, 100, 2);
  advanceMs(100);
  EXPECT_EQ(value(0x6043, 0), 500);
  control(0x7F);
  advanceMs(250);
  EXPECT_EQ(value(0x6043, 0), 100);  // 400 at 2000/s
}

}  // namespace
}  // namespace kestrum::sim::test
